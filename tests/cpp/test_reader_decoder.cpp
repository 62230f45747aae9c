// The line decoder against the reference decoder's results: every line and
// every number literal of serde_errors.json, records and error texts alike.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>

#include "fio/reader/json_number.hpp"
#include "fio/reader/kelvra_decoder.hpp"
#include "fio/reader/normalise.hpp"
#include "reader_golden.hpp"

namespace orvelle {
namespace {

using test::GoldenLine;
using test::GoldenNumber;

// Decodes a line; the error's debug form, or "" on success.
std::string decode(std::string_view text, LineKelvra* out = nullptr) {
    KelvraDecoder decoder;
    try {
        LineKelvra r = decoder.decode(text);
        if (out) *out = std::move(r);
        return "";
    } catch (const DecodeError& e) {
        return e.debug();
    }
}

// Texts quoted inside a message use the full debug escaping, combining marks
// and invisible characters included; the message is then escaped once more.
TEST(DecodeErrorText, QuotedStringsAreDebugEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"linex_index":"a\u0301","features":[]})",
         R"(Error("invalid type: string \"a\\u{301}\", expected usize", line: 1, column: 24))"},
        {R"({"linex_index":"\u200b","features":[]})",
         R"(Error("invalid type: string \"\\u{200b}\", expected usize", line: 1, column: 23))"},
        {R"({"linex_index":"\u00e9","features":[]})",
         "Error(\"invalid type: string \\\"\u00e9\\\", expected usize\", line: 1, column: 23)"},
    };
    for (auto [line, want] : cases) EXPECT_EQ(decode(line), want) << line;
}

class GoldenLineTest : public ::testing::TestWithParam<GoldenLine> {};

TEST_P(GoldenLineTest, DecodesAsTheReference) {
    const GoldenLine& g = GetParam();
    LineKelvra r;
    std::string error = decode(g.line, &r);
    if (!g.ok) {
        EXPECT_EQ(error, g.debug);
        return;
    }
    ASSERT_EQ(error, "");
    EXPECT_EQ(r.linex_index, g.linex_index);
    ASSERT_EQ(r.features.size(), g.features.size());
    for (std::size_t f = 0; f < g.features.size(); ++f) {
        const FeatureKelvra& got = r.features[f];
        const test::GoldenFeature& want = g.features[f];
        EXPECT_EQ(got.token, want.token) << "feature " << f;
        std::string normalised = got.token;
        normalise_token(normalised);
        EXPECT_EQ(normalised, want.token_normalised) << "feature " << f;
        ASSERT_EQ(got.layers.size(), want.layers.size());
        for (std::size_t l = 0; l < want.layers.size(); ++l) {
            EXPECT_EQ(got.layers[l].index, want.layers[l].index);
            ASSERT_EQ(got.layers[l].values.size(), want.layers[l].value_bits.size());
            for (std::size_t v = 0; v < want.layers[l].value_bits.size(); ++v)
                EXPECT_EQ(test::hex_bits(got.layers[l].values[v]), want.layers[l].value_bits[v])
                    << "feature " << f << " layer " << l << " value " << v;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SerdeErrors, GoldenLineTest, ::testing::ValuesIn(test::golden_lines()),
                         [](const auto& info) { return test::test_name(info.index, info.param.label); });

// The literal as the only element of `values` in an otherwise valid line.
std::string number_line(std::string_view literal) {
    return std::string(R"({"linex_index":0,"features":[{"token":"v","layers":[{"index":0,"values":[)") +
           std::string(literal) + "]}]}]}";
}

class GoldenNumberTest : public ::testing::TestWithParam<GoldenNumber> {};

TEST_P(GoldenNumberTest, ConvertsAsTheReference) {
    const GoldenNumber& g = GetParam();
    LineKelvra r;
    std::string error = decode(number_line(g.literal), &r);
    if (!g.ok) {
        EXPECT_EQ(error, g.debug);
        return;
    }
    ASSERT_EQ(error, "");
    ASSERT_EQ(r.features.at(0).layers.at(0).values.size(), 1u);
    double got = r.features[0].layers[0].values[0];
    EXPECT_EQ(test::hex_bits(got), g.bits)
        << "literal " << g.literal << "; correctly rounded would be " << g.std_parse_bits;
    // The table's claim about correct rounding, checked against strtod.
    double nearest = std::strtod(g.literal.c_str(), nullptr);
    EXPECT_EQ(test::hex_bits(nearest), g.std_parse_bits) << g.literal;
    EXPECT_EQ(test::hex_bits(got) == g.std_parse_bits, *g.equals_correctly_rounded) << g.literal;
}

INSTANTIATE_TEST_SUITE_P(SerdeNumbers, GoldenNumberTest, ::testing::ValuesIn(test::golden_numbers()),
                         [](const auto& info) { return test::test_name(info.index, info.param.literal); });

// Exponents at the ends of the table and beyond any integer type. Literals
// with more than 4 exponent digits take the full path; values are the
// conversion's own (significand times or over the table's power of ten).
struct ExponentCase {
    const char* literal;
    double value;       // when error is empty
    std::string error;  // the debug form
};

void PrintTo(const ExponentCase& c, std::ostream* os) { *os << c.literal; }

class ExponentTest : public ::testing::TestWithParam<ExponentCase> {};

TEST_P(ExponentTest, ConvertsOrFails) {
    const ExponentCase& c = GetParam();
    LineKelvra r;
    std::string error = decode(number_line(c.literal), &r);
    ASSERT_EQ(error, c.error);
    if (error.empty()) {
        EXPECT_EQ(test::hex_bits(r.features.at(0).layers.at(0).values.at(0)), test::hex_bits(c.value));
    }
}

// The range error, placed after the literal's n-th byte.
std::string out_of_range_after(std::size_t n) {
    return R"(Error("number out of range", line: 1, column: )" + std::to_string(number_line("").size() - 6 + n) +
           ")";
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ExponentTest,
    ::testing::Values(
        ExponentCase{"1e00308", 1e308, ""},
        ExponentCase{"1E+00308", 1e308, ""},
        ExponentCase{"10e0307", 10.0 * 1e307, ""},
        ExponentCase{"10e307", 10.0 * 1e307, ""},
        ExponentCase{"0.1e00309", 1e308, ""},
        ExponentCase{"17976931348623157e00292", 17976931348623157.0 * 1e292, ""},
        ExponentCase{"1e00309", 0, out_of_range_after(7)},
        ExponentCase{"1e309", 0, out_of_range_after(5)},
        ExponentCase{"10e00308", 0, out_of_range_after(8)},
        ExponentCase{"1e-00308", 1.0 / 1e308, ""},
        ExponentCase{"1e-00309", 1.0 / 1e308 / 10, ""},
        ExponentCase{"1e-00325", 0.0, ""},
        // 19 digits and more: beyond 64 bits, and far beyond 32.
        ExponentCase{"1e-18446744073709551615999999", 0.0, ""},
        ExponentCase{"-1e-9223372036854775808", -0.0, ""},
        ExponentCase{"0e18446744073709551615999999", 0.0, ""},
        // Out of range once the exponent passes 2^31 - 1, at that digit.
        ExponentCase{"1e18446744073709551615999999", 0, out_of_range_after(13)},
        ExponentCase{"1e+9223372036854775808", 0, out_of_range_after(13)}),
    [](const auto& info) { return test::test_name(info.index, info.param.literal); });

// The conversion's last step on exponents no literal of a real file reaches:
// a run of digits moves the exponent by one per digit, past 2^31 of them.
TEST(NumberParts, ExponentsFarOutsideTheTable) {
    JsonCursor c("1");
    c.eat();
    const std::int64_t beyond_int = std::int64_t{1} << 31;
    for (std::int64_t exp : {-beyond_int - 53, -(std::int64_t{1} << 40), INT64_MIN}) {
        EXPECT_EQ(test::hex_bits(f64_from_parts(c, true, 1, exp)), test::hex_bits(0.0)) << exp;
        EXPECT_EQ(test::hex_bits(f64_from_parts(c, false, UINT64_MAX, exp)), test::hex_bits(-0.0)) << exp;
    }
    for (std::int64_t exp : {beyond_int + 33, std::int64_t{1} << 40, INT64_MAX}) {
        EXPECT_EQ(f64_from_parts(c, true, 0, exp), 0.0) << exp;
        try {
            f64_from_parts(c, true, 1, exp);
            ADD_FAILURE() << exp << " converted";
        } catch (const DecodeError& e) {
            EXPECT_EQ(e.debug(), R"(Error("number out of range", line: 1, column: 1))") << exp;
        }
    }
}

// The inline conversion of `values` elements against the full one, on
// literals of every shape: it must agree on the bits and the length read, or
// decline.
TEST(FastDouble, AgreesWithTheFullPath) {
    std::mt19937_64 rng(5);
    auto digits = [&](int n, bool lead_nonzero) {
        std::string s;
        for (int k = 0; k < n; ++k) s += static_cast<char>('0' + (k == 0 && lead_nonzero ? 1 + rng() % 9 : rng() % 10));
        return s;
    };
    int accepted = 0;
    for (int t = 0; t < 200000; ++t) {
        std::string lit = rng() % 3 ? "0" : digits(1 + static_cast<int>(rng() % 21), true);
        if (rng() % 4) lit += "." + digits(static_cast<int>(rng() % 21), false);
        if (rng() % 4 == 0) {
            lit += rng() % 2 ? "e" : "E";
            int sign = static_cast<int>(rng() % 3);
            if (sign) lit += sign == 1 ? "+" : "-";
            lit += std::to_string(rng() % (rng() % 2 ? 30 : 500));
        }
        bool positive = rng() % 2;
        for (std::string tail : {std::string("]"), std::string(", 0.25, 1]}]}]}")}) {
            std::string text = lit + tail;
            std::size_t i = 0;
            double fast;
            bool took = fast_double(text.data(), text.size(), i, positive, fast);
            JsonCursor c(text);
            double full;
            try {
                full = parse_double_slow(c, positive, 0);
            } catch (const DecodeError&) {
                EXPECT_FALSE(took) << lit;
                continue;
            }
            if (!took) continue;
            ++accepted;
            EXPECT_EQ(test::bits_of(fast), test::bits_of(full)) << lit;
            EXPECT_EQ(i, c.index()) << lit;
        }
    }
    EXPECT_GT(accepted, 200000);
}

TEST(GoldenTables, AreThere) {
    EXPECT_GE(test::golden_lines().size(), 160u) << "serde_errors.json not found under " << test::shared_dir();
    auto numbers = test::golden_numbers();
    EXPECT_EQ(numbers.size(), 221u);
    int not_nearest = 0;
    for (const auto& n : numbers) not_nearest += n.ok && !*n.equals_correctly_rounded;
    EXPECT_EQ(not_nearest, 41);
}

}  // namespace
}  // namespace orvelle
