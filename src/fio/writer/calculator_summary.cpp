#include "fio/writer/calculator_summary.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "util/float_format.hpp"
#include "util/panic.hpp"
#include "util/str_debug.hpp"

namespace orvelle {
namespace {

constexpr std::string_view kFileName = "/calculator_summary.txt";
constexpr std::string_view kLabel = "ideal_similarity: ";

// Closes on every path; a failed close after a complete write still loses
// data on some file systems, so it is reported.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    void close() {
        const int fd = fd_;
        fd_ = -1;
        // Linux releases the descriptor even when close fails: never retried.
        if (::close(fd) != 0 && errno != EINTR) os_failed(errno);
    }

private:
    int fd_;
};

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

void write_all(int fd, std::string_view bytes, WriteFn write_fn) {
    while (!bytes.empty()) {
        const ssize_t n = write_fn(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            os_failed(errno);
        }
        if (n == 0) unwrap_failed(simple_error_debug("WriteZero", kWriteZero));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void write_calculator_summary(const BiasTable& bias, std::string_view folder) {
    if (folder.find('\0') != std::string_view::npos) {
        unwrap_failed(simple_error_debug("InvalidInput", kNulInPath));
    }
    const std::string path = calculator_summary_path(folder);
    // The content is complete before the file is touched, so a failure while
    // rendering leaves an existing file as it was.
    const std::string content = calculator_summary_content(bias);

    int raw;
    do {
        raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) os_failed(errno);
    FileDescriptor fd(raw);
    write_all(fd.get(), content, ::write);
    fd.close();
}

}  // namespace orvelle
