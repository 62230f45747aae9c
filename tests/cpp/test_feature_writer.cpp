#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fio/writer/feature_line.hpp"
#include "fio/writer/feature_number.hpp"
#include "test_support.hpp"

namespace orvelle {
namespace {

using test::panic_message;

std::string g(double v, int digits) {
    char buf[kMaxFeatureNumberChars];
    return std::string(buf, write_g(buf, v, digits));
}

std::string repr(double v) {
    char buf[kMaxFeatureNumberChars];
    return std::string(buf, write_repr(buf, v));
}

std::string printf_g(double v, int digits) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return std::string(buf, static_cast<std::size_t>(n));
}

// glibc's printf is correctly rounded and spells %g as Python does for every
// finite value: the exact integer path must agree with it everywhere.
TEST(FeatureNumber, RoundedFormMatchesPrintfOverEveryMagnitude) {
    std::mt19937_64 rng(7);
    std::vector<double> values;
    for (int i = 0; i < 20000; ++i) {
        const double v = std::bit_cast<double>(rng());
        if (std::isfinite(v)) values.push_back(v);
    }
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    for (int i = 0; i < 20000; ++i) {
        const double v = mantissa(rng) * std::pow(10.0, exponent(rng));
        values.push_back(v);
        values.push_back(static_cast<double>(static_cast<float>(v)));  // what a float32 model gives
    }
    for (double v : values)
        for (int digits = 1; digits <= 17; ++digits)
            ASSERT_EQ(g(v, digits), printf_g(v, digits)) << std::hexfloat << v << " digits " << digits;
}

struct Rounded {
    double value;
    int digits;
    const char* text;
};

class FeatureNumberTable : public ::testing::TestWithParam<Rounded> {};

TEST_P(FeatureNumberTable, Rounded) {
    EXPECT_EQ(g(GetParam().value, GetParam().digits), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureNumberTable,
    ::testing::Values(Rounded{0.0, 8, "0"}, Rounded{-0.0, 8, "-0"}, Rounded{1.0e-5, 8, "1e-05"},
                      Rounded{1.0e-4, 8, "0.0001"}, Rounded{123456789.0, 8, "1.2345679e+08"},
                      Rounded{12345678.0, 8, "12345678"}, Rounded{999999.999, 8, "1000000"},
                      Rounded{99999999.5, 8, "1e+08"}, Rounded{0.099999999999, 8, "0.1"},
                      Rounded{0.25, 1, "0.2"}, Rounded{0.375, 2, "0.38"}, Rounded{2.5, 1, "2"},
                      Rounded{3.5, 1, "4"}, Rounded{5e-324, 8, "4.9406565e-324"},
                      Rounded{2.2250738585072014e-308, 17, "2.2250738585072014e-308"},
                      Rounded{1e100, 3, "1e+100"}, Rounded{-1.5e-7, 8, "-1.5e-07"},
                      Rounded{std::numeric_limits<double>::quiet_NaN(), 8, "nan"},
                      Rounded{-std::numeric_limits<double>::quiet_NaN(), 8, "nan"},
                      Rounded{-std::numeric_limits<double>::infinity(), 8, "-inf"}));

TEST(FeatureNumber, ShortestFormIsPythonRepr) {
    const std::pair<double, const char*> cases[] = {
        {0.1, "0.1"},
        {1.0, "1.0"},
        {-0.0, "-0.0"},
        {100.0, "100.0"},
        {1e-4, "0.0001"},
        {1e-5, "1e-05"},
        {1.5e-5, "1.5e-05"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {static_cast<double>(0.1f), "0.10000000149011612"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {std::numeric_limits<double>::infinity(), "inf"},
    };
    for (auto [v, text] : cases) EXPECT_EQ(repr(v), text) << text;
}

TEST(FeatureNumber, ShortestFormReadsBackAsTheSameBits) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 20000; ++i) {
        const double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v)) continue;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(repr(v).c_str(), nullptr)),
                  std::bit_cast<std::uint64_t>(v));
    }
}

TEST(FeatureLine, JsonStringEscapesAsPythonJsonDumps) {
    const std::pair<std::string, const char*> cases[] = {
        {"he", "\"he\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
        {"r\xc3\xa9" "ceptionist \xe2\x80\xa8", "\"r\xc3\xa9" "ceptionist \xe2\x80\xa8\""},
    };
    for (const auto& [text, want] : cases) {
        char buf[64];
        EXPECT_EQ(std::string(buf, write_json_string(buf, text)), want);
    }
}

TEST(FeatureLine, LayoutOfTokensAndLayers) {
    // Two layers (hidden states 6 and 0), two tokens, width 2: values[layer][token][unit].
    const std::vector<float> values = {0.5f, -1.0f, 2.0f, 0.1f, 1e-5f, 0.0f, -0.0f, 3.0f};
    const std::vector<std::string_view> tokens = {"[CLS]", "\"q\""};
    const std::vector<std::int64_t> layers = {6, 0};
    FeatureLine line;
    const SentenceValues<float> v{values, 2, 2, 2};
    EXPECT_EQ(line.build(41, tokens, layers, v, 3),
              "{\"linex_index\":41,\"features\":["
              "{\"token\":\"[CLS]\",\"layers\":[{\"index\":6,\"values\":[0.5,-1]},"
              "{\"index\":0,\"values\":[1e-05,0]}]},"
              "{\"token\":\"\\\"q\\\"\",\"layers\":[{\"index\":6,\"values\":[2,0.1]},"
              "{\"index\":0,\"values\":[-0,3]}]}]}\n");
    EXPECT_EQ(line.build(0, {}, layers, SentenceValues<float>{{}, 2, 0, 2}, 8),
              "{\"linex_index\":0,\"features\":[]}\n");
    // float32 values are written as their exact doubles.
    EXPECT_EQ(line.build(1, std::span(tokens).first(1), std::span(layers).first(1),
                         SentenceValues<float>{std::span(values).subspan(3, 1), 1, 1, 1}, 0),
              "{\"linex_index\":1,\"features\":[{\"token\":\"[CLS]\",\"layers\":[{\"index\":6,"
              "\"values\":[0.10000000149011612]}]}]}\n");
}

TEST(FeatureLine, RefusesValuesOfAnotherShapeAndFindsNonFiniteLayers) {
    const std::vector<double> values = {1.0, 2.0, 3.0, std::numeric_limits<double>::quiet_NaN(), 5.0, 6.0};
    const std::vector<std::string_view> tokens = {"a"};
    const std::vector<std::int64_t> layers = {3, 2, 1};
    FeatureLine line;
    EXPECT_EQ(panic_message([&] { line.build(0, tokens, layers, SentenceValues<double>{values, 3, 1, 3}, 8); }),
              "feature line: 6 values for 3 layers of 1 tokens of width 3");
    EXPECT_EQ(non_finite_layer(SentenceValues<double>{values, 3, 1, 2}), 1u);
    EXPECT_EQ(non_finite_layer(SentenceValues<double>{std::span(values).first(3), 1, 1, 3}), std::nullopt);
    const std::vector<float> inf = {0.0f, -std::numeric_limits<float>::infinity()};
    EXPECT_EQ(non_finite_layer(SentenceValues<float>{inf, 2, 1, 1}), 1u);
}

}  // namespace
}  // namespace orvelle
