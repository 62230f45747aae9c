// Quoted, escaped texts against the reference renderings, and the generated
// escape table against the reference list of escaped code points.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "calc_support.hpp"
#include "util/str_debug.hpp"

namespace orvelle {
namespace {

struct StrCase {
    std::string label;
    std::string text;
    std::string out;
    friend void PrintTo(const StrCase& c, std::ostream* os) { *os << c.label; }
};

std::vector<StrCase> load_str_cases() {
    simdjson::dom::parser parser;
    simdjson::dom::element doc;
    if (parser.load(test::golden_path("str_debug.json")).get(doc) != simdjson::SUCCESS) {
        return {{"<str_debug.json missing>", "", "<unreadable>"}};
    }
    std::vector<StrCase> cases;
    for (simdjson::dom::element c : doc["cases"].get_array()) {
        std::vector<std::uint32_t> cps;
        for (std::int64_t cp : c["codepoints"].get_array()) cps.push_back(static_cast<std::uint32_t>(cp));
        cases.push_back({std::string(c["label"].get_string().value()), test::utf8(cps),
                         std::string(c["out"].get_string().value())});
    }
    return cases;
}

class StrDebugGolden : public ::testing::TestWithParam<StrCase> {};

TEST_P(StrDebugGolden, MatchesReference) {
    const StrCase& c = GetParam();
    EXPECT_EQ(str_debug(c.text), c.out) << c.label;
}

INSTANTIATE_TEST_SUITE_P(Golden, StrDebugGolden, ::testing::ValuesIn(load_str_cases()),
                         [](const auto& info) { return test::numbered("case", info.index); });

struct RawCase {
    const char* label;
    std::string text;
    const char* out;
    friend void PrintTo(const RawCase& c, std::ostream* os) { *os << c.label; }
};

class StrDebugInvalidUtf8 : public ::testing::TestWithParam<RawCase> {};

TEST_P(StrDebugInvalidUtf8, WritesStrayBytesAsHex) {
    EXPECT_EQ(str_debug(GetParam().text), GetParam().out) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, StrDebugInvalidUtf8,
    ::testing::Values(RawCase{"lone continuation", "a\x80z", "\"a\\x80z\""},
                      RawCase{"truncated sequence at end", "ab\xc3", "\"ab\\xc3\""},
                      RawCase{"overlong slash", "\xc0\xaf", "\"\\xc0\\xaf\""},
                      RawCase{"encoded surrogate", "\xed\xa0\x80", "\"\\xed\\xa0\\x80\""},
                      RawCase{"beyond U+10FFFF", "\xf4\x90\x80\x80", "\"\\xf4\\x90\\x80\\x80\""},
                      RawCase{"0xff", "\xff", "\"\\xff\""},
                      RawCase{"valid after invalid", "\xff\xc3\xa9", "\"\\xffé\""}));

// Every scalar value: escaped exactly when the reference list holds it.
TEST(StrDebugTable, AgreesWithReferenceListOnEveryCodePoint) {
    simdjson::dom::parser parser;
    simdjson::dom::element doc;
    ASSERT_EQ(parser.load(test::golden_path("str_debug_escapes.json")).get(doc), simdjson::SUCCESS);
    std::vector<bool> listed(0x110000, false);
    for (simdjson::dom::element r : doc["cases"].get_array()) {
        const std::int64_t lo = r.at(0).get_int64();
        const std::int64_t hi = r.at(1).get_int64();
        for (std::int64_t c = lo; c <= hi; ++c) listed[c] = true;
    }
    std::size_t mismatches = 0;
    for (char32_t c = 0; c < 0x110000; ++c) {
        if (c >= 0xd800 && c <= 0xdfff) continue;
        if (needs_unicode_escape(c) != listed[c] && ++mismatches <= 10) {
            ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(c);
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

// A listed code point in a text comes out as \u{hex}; one outside stays as is.
TEST(StrDebugTable, EscapeFormIsLowercaseHexWithoutLeadingZeros) {
    EXPECT_EQ(str_debug(test::utf8({0x10ffff, 0x7f, 0xad})), "\"\\u{10ffff}\\u{7f}\\u{ad}\"");
    EXPECT_EQ(str_debug(test::utf8({0x20, 0x7e, 0xa1})), "\" ~¡\"");
}

}  // namespace
}  // namespace orvelle
