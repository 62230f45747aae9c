#include "fio/writer/calculator_summary.hpp"

#include "fio/writer/output_file.hpp"
#include "util/cancellation.hpp"
#include "util/float_format.hpp"
#include "util/panic.hpp"
#include "util/str_debug.hpp"

namespace orvelle {
namespace {

constexpr std::string_view kFileName = "/calculator_summary.txt";
constexpr std::string_view kLabel = "ideal_similarity: ";

}  // namespace

void append_bias_debug(std::string& out, const BiasTable& bias) {
    out += '{';
    bool first_space = true;
    for (const auto& [name, ratios] : bias) {
        if (!first_space) out += ", ";
        first_space = false;
        append_str_debug(out, name);
        out += ": {";
        bool first_token = true;
        for (const auto& [text, ratio] : ratios) {
            if (!first_token) out += ", ";
            first_token = false;
            append_str_debug(out, text);
            out += ": ";
            append_debug(out, ratio);
        }
        out += '}';
    }
    out += '}';
}

std::string calculator_summary_content(const BiasTable& bias) {
    std::string out(kLabel);
    append_bias_debug(out, bias);
    out += '\n';
    return out;
}

std::string calculator_summary_path(std::string_view folder) {
    std::string path(folder);
    path += kFileName;
    return path;
}

void write_calculator_summary(const BiasTable& bias, std::string_view folder) {
    // The content is complete before the file is touched, so a failure while
    // rendering leaves an existing file as it was.
    const std::string content = calculator_summary_content(bias);
    checkpoint();
    OutputFile file(calculator_summary_path(folder));
    file.write_all(content);
    file.close();
}

}  // namespace orvelle
