#include <gtest/gtest.h>
#include <simdjson.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

#include "test_support.hpp"
#include "util/float_format.hpp"

namespace orvelle {
namespace {

using namespace simdjson;
using test::double_from_bits;
using test::golden_path;

// Every case of a golden rendering file against `render`.
template <class Render>
void check_golden(const char* file, Render render) {
    dom::parser parser;
    dom::element doc = parser.load(golden_path(file));
    std::size_t n = 0;
    for (dom::element c : doc["cases"].get_array()) {
        const std::string_view bits = c["bits"].get_string().value();
        const std::string_view want = c["out"].get_string().value();
        EXPECT_EQ(render(double_from_bits(bits)), want) << file << " bits " << bits;
        ++n;
    }
    EXPECT_GT(n, 300u);
}

TEST(FloatFormatGolden, DisplayMatchesEveryReferenceCase) {
    check_golden("f64_display.json", [](double v) { return format_display(v); });
}

TEST(FloatFormatGolden, DebugMatchesEveryReferenceCase) {
    check_golden("f64_debug.json", [](double v) { return format_debug(v); });
}

struct Rendering {
    double value;
    const char* display;
    const char* debug;
};

class FloatFormatTable : public ::testing::TestWithParam<Rendering> {};

TEST_P(FloatFormatTable, BothForms) {
    const Rendering& r = GetParam();
    EXPECT_EQ(format_display(r.value), r.display);
    EXPECT_EQ(format_debug(r.value), r.debug);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, FloatFormatTable,
    ::testing::Values(
        Rendering{1.0, "1", "1.0"}, Rendering{0.5, "0.5", "0.5"},
        Rendering{-0.75, "-0.75", "-0.75"}, Rendering{0.0, "0", "0.0"},
        Rendering{-0.0, "-0", "-0.0"}, Rendering{100.0, "100", "100.0"},
        Rendering{0.0001, "0.0001", "0.0001"}, Rendering{0.00001, "0.00001", "1e-5"},
        Rendering{0.000012345, "0.000012345", "1.2345e-5"},
        Rendering{1e15, "1000000000000000", "1000000000000000.0"},
        Rendering{1e16, "10000000000000000", "1e16"},
        Rendering{0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
        Rendering{1e21, "1000000000000000000000", "1e21"},
        Rendering{1e-7, "0.0000001", "1e-7"}, Rendering{123.456, "123.456", "123.456"},
        Rendering{kNaN, "NaN", "NaN"}, Rendering{-kNaN, "NaN", "NaN"},
        Rendering{kInf, "inf", "inf"}, Rendering{-kInf, "-inf", "-inf"}));

// The extremes of the positional form, and the buffer bound it promises.
TEST(FloatFormat, DisplayOfExtremeMagnitudesStaysPositional) {
    EXPECT_EQ(format_display(-1.5e300), "-15" + std::string(299, '0'));
    EXPECT_EQ(format_display(std::numeric_limits<double>::max()),
              "17976931348623157" + std::string(292, '0'));
    std::string tiny = format_display(-std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(tiny, "-0." + std::string(323, '0') + "5");
    EXPECT_EQ(tiny.size(), kMaxDisplayChars);
    EXPECT_EQ(format_debug(std::numeric_limits<double>::denorm_min()), "5e-324");
}

// Both forms read back as the same double, and the display form never needs
// more digits than the scientific one: a check over random bit patterns.
TEST(FloatFormat, RandomBitPatternsRoundTrip) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 200000; ++i) {
        const double v = test::from_bits(rng());
        if (!std::isfinite(v)) continue;
        std::string d = format_display(v), g = format_debug(v);
        ASSERT_EQ(std::strtod(d.c_str(), nullptr), v) << d;
        ASSERT_EQ(std::signbit(std::strtod(d.c_str(), nullptr)), std::signbit(v)) << d;
        ASSERT_EQ(std::strtod(g.c_str(), nullptr), v) << g;
        ASSERT_EQ(d.find('e'), std::string::npos) << d;
    }
}

TEST(FloatFormat, AppendKeepsWhatIsThere) {
    std::string s = "x=";
    append_display(s, 2.5);
    s += ',';
    append_debug(s, 2.0);
    EXPECT_EQ(s, "x=2.5,2.0");
}

}  // namespace
}  // namespace orvelle
