// The line decoder against simdjson On-Demand on the same lines, one core
// each: both build the same records (index, token texts, layer indexes, value
// vectors). simdjson converts numbers with its own correctly rounded parser,
// so it is a speed reference only.
//
//   bench_decoder_vs_simdjson FILE [MAX_MB]
#include <simdjson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fio/reader/kelvra_decoder.hpp"

using namespace orvelle;
using clock_type = std::chrono::steady_clock;

namespace {

LineKelvra decode_simdjson(simdjson::ondemand::parser& parser, const simdjson::padded_string& line) {
    LineKelvra out;
    simdjson::ondemand::document doc = parser.iterate(line);
    for (auto field : doc.get_object()) {
        std::string_view key = field.unescaped_key();
        if (key == "linex_index") {
            out.linex_index = field.value().get_uint64();
        } else if (key == "features") {
            for (auto f : field.value().get_array()) {
                FeatureKelvra feature;
                for (auto ff : f.get_object()) {
                    std::string_view fk = ff.unescaped_key();
                    if (fk == "token") {
                        feature.token = std::string(std::string_view(ff.value().get_string()));
                    } else if (fk == "layers") {
                        for (auto l : ff.value().get_array()) {
                            TokenKelvra layer;
                            for (auto lf : l.get_object()) {
                                std::string_view lk = lf.unescaped_key();
                                if (lk == "index") {
                                    layer.index = lf.value().get_uint64();
                                } else if (lk == "values") {
                                    for (double v : lf.value().get_array()) layer.values.push_back(v);
                                }
                            }
                            feature.layers.push_back(std::move(layer));
                        }
                    }
                }
                out.features.push_back(std::move(feature));
            }
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [MAX_MB]\n", argv[0]);
        return 2;
    }
    const double max_mb = argc > 2 ? std::atof(argv[2]) : 300.0;
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<std::string> lines;
    std::size_t bytes = 0;
    for (std::string line; bytes < max_mb * 1e6 && std::getline(in, line);) {
        bytes += line.size();
        lines.push_back(std::move(line));
    }
    std::vector<simdjson::padded_string> padded(lines.begin(), lines.end());

    std::size_t values_ours = 0, values_simdjson = 0;
    auto t0 = clock_type::now();
    KelvraDecoder decoder;
    for (const std::string& line : lines) {
        LineKelvra r = decoder.decode(line);
        for (auto& f : r.features)
            for (auto& l : f.layers) values_ours += l.values.size();
    }
    double ours = std::chrono::duration<double>(clock_type::now() - t0).count();

    t0 = clock_type::now();
    simdjson::ondemand::parser parser;
    for (const auto& line : padded) {
        LineKelvra r = decode_simdjson(parser, line);
        for (auto& f : r.features)
            for (auto& l : f.layers) values_simdjson += l.values.size();
    }
    double reference = std::chrono::duration<double>(clock_type::now() - t0).count();

    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%zu lines, %.1f MB, %zu values (simdjson %zu)\n", lines.size(), mb, values_ours, values_simdjson);
    std::printf("our decoder      %7.3f s  %7.1f MB/s\n", ours, mb / ours);
    std::printf("simdjson On-Demand %5.3f s  %7.1f MB/s\n", reference, mb / reference);
    std::printf("ours / simdjson throughput: %.2f\n", reference / ours);
    return values_ours == values_simdjson ? 0 : 1;
}
