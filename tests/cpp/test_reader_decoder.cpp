// The line decoder against the reference decoder's results: every line and
// every number literal of serde_errors.json, records and error texts alike.
#include <gtest/gtest.h>

#include <cstdlib>

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
