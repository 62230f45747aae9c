// The input as feature-file text, line by line as the reader takes it: split,
// UTF-8 check, decode, normalise. Beyond what the sanitizers catch: the lines
// and their terminators cover the input exactly; an ASCII prefix does not
// change a line's UTF-8 verdict (it moves the 16-byte ASCII steps); a decoder
// reused across lines gives what a fresh one gives, records or error; token
// texts are UTF-8 after decoding and after normalising.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fio/reader/decode_error.hpp"
#include "fio/reader/kelvra_decoder.hpp"
#include "fio/reader/line_split.hpp"
#include "fio/reader/normalise.hpp"
#include "fio/reader/utf8.hpp"
#include "fuzz_support.hpp"

using namespace orvelle;

namespace {

struct Outcome {
    std::optional<LineKelvra> records;
    std::string error;  // debug form
};

Outcome decode(KelvraDecoder& decoder, std::string_view line) {
    try {
        return {decoder.decode(line), {}};
    } catch (const DecodeError& e) {
        return {std::nullopt, e.debug()};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    KelvraDecoder reused;
    LineSplitter lines(bytes);
    std::string_view line;
    std::size_t pos = 0;
    while (lines.next(line)) {
        FUZZ_CHECK(line.data() == bytes.data() + pos);
        pos += line.size();
        if (bytes.substr(pos, 2) == "\r\n") {
            pos += 2;
        } else if (pos < size) {
            FUZZ_CHECK(bytes[pos] == '\n');
            ++pos;
        }

        const bool valid = is_valid_utf8(line);
        const std::string shifted = std::string(1 + line.size() % 15, 'a').append(line);
        FUZZ_CHECK(is_valid_utf8(shifted) == valid);
        if (!valid) continue;

        Outcome got = decode(reused, line);
        KelvraDecoder fresh;
        const Outcome again = decode(fresh, line);
        FUZZ_CHECK(got.error == again.error);
        FUZZ_CHECK(got.records.has_value() == again.records.has_value());
        if (!got.records) continue;
        FUZZ_CHECK(fuzz::same(*got.records, *again.records));
        for (FeatureKelvra& f : got.records->features) {
            FUZZ_CHECK(is_valid_utf8(f.token));
            const std::size_t before = f.token.size();
            normalise_token(f.token);
            FUZZ_CHECK(f.token.size() <= before);
            FUZZ_CHECK(is_valid_utf8(f.token));
            // The last marker removed has no later step that could join a new one.
            FUZZ_CHECK(f.token.find("\\u2581") == std::string::npos);
        }
    }
    FUZZ_CHECK(pos == size);
    return 0;
}
