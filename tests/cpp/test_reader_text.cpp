// The reader's text helpers: marker removal, UTF-8 validation, line
// splitting and the float rendering inside error messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fio/reader/decode_error.hpp"
#include "fio/reader/line_split.hpp"
#include "fio/reader/normalise.hpp"
#include "fio/reader/utf8.hpp"
#include "reader_golden.hpp"
#include "util/panic.hpp"

namespace orvelle {
namespace {

struct Normalisation {
    const char* name;
    std::string in, out;
};

void PrintTo(const Normalisation& c, std::ostream* os) { *os << c.name; }

class NormaliseTest : public ::testing::TestWithParam<Normalisation> {};

TEST_P(NormaliseTest, RemovesMarkersInOrder) {
    std::string text = GetParam().in;
    normalise_token(text);
    EXPECT_EQ(text, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Markers, NormaliseTest,
    ::testing::Values(
        Normalisation{"hashes", "##ing", "ing"},
        Normalisation{"g_dot", "\xC4\xA0the", "the"},
        Normalisation{"lower_block", "\xE2\x96\x81the", "the"},
        Normalisation{"inner_hashes", "a##b", "ab"},
        Normalisation{"hashes_joined_after_step_one", "#\xC4\xA0#", "##"},
        Normalisation{"marker_only", "\xC4\xA0", ""},
        Normalisation{"escaped_g_dot_text", "\\u0120the", "the"},
        Normalisation{"escaped_lower_block_text", "\\u2581x", "x"},
        Normalisation{"odd_hashes", "###", "#"},
        Normalisation{"four_hashes", "####x", "x"},
        Normalisation{"everywhere", "\xC4\xA0hello\xE2\x96\x81", "hello"},
        Normalisation{"uppercase_escape_kept", "\\U0120a", "\\U0120a"},
        Normalisation{"other_g", "\xC4\xA1x", "\xC4\xA1x"},
        Normalisation{"step_three_after_step_two", "\\u01\xC4\xA0" "20a", "a"},
        Normalisation{"plain", "hello", "hello"},
        Normalisation{"empty", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, Validates) { EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Test,
    ::testing::Values(Utf8Case{"ascii", "plain text, long enough for the 16-byte steps", true},
                      Utf8Case{"two_bytes", "\xC3\xA4", true},
                      Utf8Case{"three_bytes", "\xE2\x96\x81", true},
                      Utf8Case{"four_bytes", "\xF0\x9F\x98\x80", true},
                      Utf8Case{"max_code_point", "\xF4\x8F\xBF\xBF", true},
                      Utf8Case{"nul_and_del", std::string("a\0\x7f", 3), true},
                      Utf8Case{"lone_continuation", "\x80", false},
                      Utf8Case{"ff", "ok\xFF", false},
                      Utf8Case{"overlong_two", "\xC0\xAF", false},
                      Utf8Case{"overlong_three", "\xE0\x80\xAF", false},
                      Utf8Case{"overlong_four", "\xF0\x80\x80\xAF", false},
                      Utf8Case{"surrogate", "\xED\xA0\x80", false},
                      Utf8Case{"above_max", "\xF4\x90\x80\x80", false},
                      Utf8Case{"truncated_at_end", "abc\xE2\x96", false},
                      Utf8Case{"truncated_before_ascii", "\xC4" "a", false},
                      Utf8Case{"bad_after_long_ascii", std::string(40, 'a') + "\xC4", false}),
    [](const auto& info) { return std::string(info.param.name); });

// How bytes become lines and where reading stops, from std_messages.json.
TEST(LineSplits, MatchTheReferenceReader) {
    simdjson::dom::parser parser;
    simdjson::dom::element root = test::load_golden(parser, "std_messages.json");
    int cases = 0;
    for (simdjson::dom::element c : root["line_splits"].get_array()) {
        std::string hex(c["bytes_hex"].get_string().value());
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        std::vector<std::string> want, got;
        for (simdjson::dom::element l : c["lines"].get_array()) {
            std::string_view ok;
            if (l["ok"].get_string().get(ok) == simdjson::SUCCESS)
                want.emplace_back("ok:" + std::string(ok));
            else
                want.emplace_back("err:" + std::string(l["err"].get_string().value()));
        }
        LineSplitter lines(bytes);
        std::string_view line;
        while (lines.next(line)) {
            if (!is_valid_utf8(line)) {
                got.push_back("err:" + simple_error_debug("InvalidData", kInvalidUtf8));
                break;
            }
            got.push_back("ok:" + std::string(line));
        }
        EXPECT_EQ(got, want) << "bytes " << hex;
        ++cases;
    }
    EXPECT_EQ(cases, 12);
}

}  // namespace
}  // namespace orvelle
