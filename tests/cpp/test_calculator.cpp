// Calculator construction: cosine similarity, the edge cases of the bias
// table, the failure texts, and agreement with a literal step-by-step
// construction that recomputes every centre.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "calc_support.hpp"
#include "space/calculator.hpp"
#include "space/geometry.hpp"

namespace orvelle {
namespace {

using test::bits_of;
using test::space;
using test::token;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Equal bit for bit, or both NaN (the sign of a NaN carries no meaning here).
::testing::AssertionResult same_value(double expected, double actual) {
    if ((std::isnan(expected) && std::isnan(actual)) || bits_of(expected) == bits_of(actual)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex
                                         << bits_of(expected) << "), got " << actual << " (0x"
                                         << bits_of(actual) << ")";
}

// ---- cos_similarity ---------------------------------------------------------

struct CosCase {
    const char* label;
    std::vector<double> center1;
    std::vector<double> center2;
    double expected;
    friend void PrintTo(const CosCase& c, std::ostream* os) { *os << c.label; }
};

class CosSimilarity : public ::testing::TestWithParam<CosCase> {};

TEST_P(CosSimilarity, ExactValue) {
    const CosCase& c = GetParam();
    EXPECT_TRUE(same_value(c.expected, cos_similarity(c.center1, c.center2))) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CosSimilarity,
    ::testing::Values(
        CosCase{"self-similarity rounds below one", {1, 1}, {1, 1}, 0.9999999999999998},
        CosCase{"orthogonal", {1, 0}, {0, 3}, 0.0},
        CosCase{"opposite", {1, 0}, {-2, 0}, -1.0},
        CosCase{"plain", {3, 4}, {4, 3}, 0.96},
        // Values that differ in the last bit under dot/sqrt(a*b) or dot/sqrt(a)/sqrt(b).
        CosCase{"divides once by the product of the roots", {1, 3, 2}, {0.1, -2, 5}, 0.2034445098477388},
        CosCase{"root of the second sum first", {0.3, 1.5, 2}, {5, 1, 5}, 0.7229589446694845},
        // Summed backwards this would be 0.5000000000000001.
        CosCase{"sums run in index order", {1e16, 0.1, 0.7, 0.7}, {1, 1, 1, 1}, 0.5},
        CosCase{"zero vector gives NaN", {0, 0}, {1, 2}, kNaN},
        CosCase{"empty vectors give NaN", {}, {}, kNaN},
        CosCase{"infinite component gives NaN", {kInf, 1}, {1, 1}, kNaN},
        CosCase{"NaN component gives NaN", {kNaN, 1}, {1, 1}, kNaN}),
    [](const auto& info) { return test::numbered("case", info.index); });

TEST(CosSimilarityFailure, LengthMismatchText) {
    const std::vector<double> a(512, 1.0);
    const std::vector<double> b(768, 1.0);
    EXPECT_EQ(test::panic_message([&] { cos_similarity(a, b); }),
              "assertion `left == right` failed: center1 and center2 should have the same length\n"
              "  left: 512\n right: 768");
}

// ---- construction: edge cases ----------------------------------------------

struct Expect {
    std::string space;
    std::string text;
    double ratio;
};

struct EdgeCase {
    std::string label;
    std::vector<Token> base;
    std::vector<Space> compare;
    std::vector<std::pair<std::string, double>> ideal;  // in table order
    std::vector<std::string> texts;                     // inner order, same for every space
    std::vector<Expect> ratios;
    friend void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.label; }
};

double ratio(const std::vector<double>& e, const std::vector<double>& c, double r) {
    return cos_similarity(e, c) / r;
}

std::vector<EdgeCase> edge_cases() {
    std::vector<EdgeCase> cases;
    {
        // Centre [1,1]; the ideal centre is the same list, so the ideal
        // similarity is the self-similarity of [1,1].
        const double r = 0.9999999999999998;
        cases.push_back({"single space",
                         {token("doctor", {3, 0}), token("nurse", {1, 2})},
                         {space("Space of he", {token("he", {1, 0}), token("he", {1, 2})})},
                         {{"Space of he", r}},
                         {"doctor", "nurse"},
                         {{"Space of he", "doctor", ratio({3, 0}, {1, 1}, r)},
                          {"Space of he", "nurse", ratio({1, 2}, {1, 1}, r)}}});
    }
    {
        // Ideal centre (2+0+2, 0+2+2) / 3 over all three spaces; the name
        // "Space of he" keeps its first place and the last space's values.
        const std::vector<double> m = {4.0 / 3.0, 4.0 / 3.0};
        const double r_he = cos_similarity({2, 2}, m);
        const double r_she = cos_similarity({0, 2}, m);
        cases.push_back({"duplicate first words",
                         {token("x", {1, 3})},
                         {space("Space of he", {token("he", {2, 0})}),
                          space("Space of she", {token("she", {0, 2})}),
                          space("Space of he", {token("he", {2, 2})})},
                         {{"Space of he", r_he}, {"Space of she", r_she}},
                         {"x"},
                         {{"Space of he", "x", ratio({1, 3}, {2, 2}, r_he)},
                          {"Space of she", "x", ratio({1, 3}, {0, 2}, r_she)}}});
    }
    {
        const double r = 0.9999999999999998;
        cases.push_back({"duplicate token texts: the later token, the first place",
                         {token("a", {1, 0}), token("b", {0, 1}), token("a", {1, 3})},
                         {space("Space of s", {token("s", {1, 1})})},
                         {{"Space of s", r}},
                         {"a", "b"},
                         {{"Space of s", "a", ratio({1, 3}, {1, 1}, r)},
                          {"Space of s", "b", ratio({0, 1}, {1, 1}, r)}}});
    }
    {
        const std::vector<double> m = {0.5, 1.0};
        const double r_y = cos_similarity({1, 2}, m);
        cases.push_back({"zero centre gives NaN",
                         {token("t", {2, 1})},
                         {space("Space of z", {token("z", {1, -1}), token("z", {-1, 1})}),
                          space("Space of y", {token("y", {1, 2})})},
                         {{"Space of z", kNaN}, {"Space of y", r_y}},
                         {"t"},
                         {{"Space of z", "t", kNaN}, {"Space of y", "t", ratio({2, 1}, {1, 2}, r_y)}}});
    }
    {
        const std::vector<double> m = {1.0, 1.5};
        const double r_a = cos_similarity({1, 1}, m);
        const double r_b = cos_similarity({1, 2}, m);
        cases.push_back({"zero embedding gives NaN in every space",
                         {token("zero", {0, 0}), token("one", {1, 0})},
                         {space("Space of a", {token("a", {1, 1})}), space("Space of b", {token("b", {1, 2})})},
                         {{"Space of a", r_a}, {"Space of b", r_b}},
                         {"zero", "one"},
                         {{"Space of a", "zero", kNaN},
                          {"Space of b", "zero", kNaN},
                          {"Space of a", "one", ratio({1, 0}, {1, 1}, r_a)},
                          {"Space of b", "one", ratio({1, 0}, {1, 2}, r_b)}}});
    }
    {
        // Ideal centre [0,1] is orthogonal to [1,0]: r = 0, no guard.
        cases.push_back({"zero ideal similarity gives infinities",
                         {token("p", {1, 0}), token("q", {-1, 0}), token("o", {0, 1})},
                         {space("Space of a", {token("a", {1, 0})}), space("Space of b", {token("b", {-1, 2})})},
                         {{"Space of a", 0.0}, {"Space of b", cos_similarity({-1, 2}, {0, 1})}},
                         {"p", "q", "o"},
                         {{"Space of a", "p", kInf}, {"Space of a", "q", -kInf}, {"Space of a", "o", kNaN}}});
    }
    {
        cases.push_back({"empty base space gives empty inner tables",
                         {},
                         {space("Space of a", {token("a", {1, 0})})},
                         {{"Space of a", 1.0}},
                         {},
                         {}});
    }
    return cases;
}

class CalculatorEdge : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(CalculatorEdge, Tables) {
    const EdgeCase& c = GetParam();
    const Calculator calc = Calculator::new_calculator(space("random", c.base), c.compare);

    ASSERT_EQ(calc.ideal_similarity.size(), c.ideal.size());
    ASSERT_EQ(calc.bias.size(), c.ideal.size());
    for (std::size_t i = 0; i < c.ideal.size(); ++i) {
        EXPECT_EQ(calc.ideal_similarity.entry(i).first, c.ideal[i].first);
        EXPECT_TRUE(same_value(c.ideal[i].second, calc.ideal_similarity.entry(i).second)) << c.ideal[i].first;
        EXPECT_EQ(calc.bias.entry(i).first, c.ideal[i].first);
        std::vector<std::string> texts;
        for (const auto& [text, v] : calc.bias.entry(i).second) texts.push_back(text);
        EXPECT_EQ(texts, c.texts);
    }
    for (const Expect& e : c.ratios) {
        const OrderedTable<double>* inner = calc.bias.find(e.space);
        ASSERT_NE(inner, nullptr) << e.space;
        const double* v = inner->find(e.text);
        ASSERT_NE(v, nullptr) << e.text;
        EXPECT_TRUE(same_value(e.ratio, *v)) << e.space << " / " << e.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CalculatorEdge, ::testing::ValuesIn(edge_cases()),
                         [](const auto& info) { return test::numbered("case", info.index); });

// ---- construction: failures ---------------------------------------------------

struct FailureCase {
    const char* label;
    std::vector<Token> base;
    std::vector<Space> compare;
    std::string message;
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }
};

const char* const kLen = "assertion `left == right` failed: center1 and center2 should have the same length";

std::vector<FailureCase> failure_cases() {
    return {
        {"no compare space", {token("t", {1, 2})}, {}, "compare_space should have at least one space"},
        {"later shorter centre",
         {token("t", {1, 2})},
         {space("Space of a", {token("a", {1, 2, 3})}), space("Space of b", {token("b", {1, 2})})},
         "assertion `left == right` failed\n  left: 2\n right: 3"},
        {"later longer centre",
         {token("t", {1, 2})},
         {space("Space of a", {token("a", {1, 2})}), space("Space of b", {token("b", {1, 2, 3})})},
         std::string(kLen) + "\n  left: 3\n right: 2"},
        // When several checks would fail, the first in construction order
        // speaks: every centre, then the ideal centre's length, then each
        // centre against it, then the tokens.
        {"centre failure of a later space before the length check",
         {token("t", {1, 2})},
         {space("Space of a", {token("a", {1, 2, 3})}), space("Space of b", {token("b", {1, 2})}),
          space("Space of c", {})},
         "index out of bounds: the len is 0 but the index is 0"},
        {"longer then shorter centre: the ideal centre's length",
         {token("t", {1, 2, 3, 4, 5})},
         {space("Space of a", {token("a", {1, 2, 3})}), space("Space of b", {token("b", {1, 2, 3, 4})}),
          space("Space of c", {token("c", {1, 2})})},
         "assertion `left == right` failed\n  left: 2\n right: 3"},
        {"longer centre before a mismatching token",
         {token("t", {1, 2, 3, 4, 5})},
         {space("Space of a", {token("a", {1, 2})}), space("Space of b", {token("b", {1, 2, 3})})},
         std::string(kLen) + "\n  left: 3\n right: 2"},
        {"embedding longer than the centres",
         {token("t", std::vector<double>(512, 1.0))},
         {space("Space of a", {token("a", std::vector<double>(768, 1.0))})},
         std::string(kLen) + "\n  left: 512\n right: 768"},
        // The first mismatching token counts, even when a later token with the
        // same text would replace its value.
        {"first mismatching token in base order",
         {token("ok", {1, 2}), token("t", {1, 2, 3, 4}), token("u", {1}), token("t", {1, 2})},
         {space("Space of a", {token("a", {1, 2})})},
         std::string(kLen) + "\n  left: 4\n right: 2"},
    };
}

class CalculatorFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CalculatorFailure, Text) {
    const FailureCase& c = GetParam();
    EXPECT_EQ(test::panic_message([&] { Calculator::new_calculator(space("random", c.base), c.compare); }),
              c.message)
        << c.label;
}

INSTANTIATE_TEST_SUITE_P(Table, CalculatorFailure, ::testing::ValuesIn(failure_cases()),
                         [](const auto& info) { return test::numbered("case", info.index); });

// ---- construction: against the literal steps ---------------------------------

// Every step as written: centres recomputed at each use, every token scored
// in base order, later names and texts replacing earlier ones.
Calculator literal_calculator(const Space& base, const std::vector<Space>& compare) {
    std::vector<double> s(get_center(compare[0].tokens).size(), 0.0);
    for (const Space& sp : compare) {
        const std::vector<double> c = get_center(sp.tokens);
        std::vector<double> next;
        for (std::size_t i = 0; i < std::min(s.size(), c.size()); ++i) next.push_back(s[i] + c[i]);
        s = next;
    }
    std::vector<double> m;
    for (double v : s) m.push_back(v / static_cast<double>(compare.size()));
    Calculator calc;
    for (const Space& sp : compare) calc.ideal_similarity.insert(sp.name, cos_similarity(get_center(sp.tokens), m));
    for (const Space& sp : compare) {
        const std::vector<double> c = get_center(sp.tokens);
        const double r = *calc.ideal_similarity.find(sp.name);
        OrderedTable<double> t;
        for (const Token& tok : base.tokens) t.insert(tok.text, cos_similarity(tok.embedding, c) / r);
        calc.bias.insert(sp.name, t);
    }
    return calc;
}

struct RandomCase {
    std::size_t tokens;
    std::size_t width;
    std::size_t distinct_texts;
    std::vector<std::string> names;
    friend void PrintTo(const RandomCase& c, std::ostream* os) {
        *os << c.tokens << " tokens x " << c.width << ", " << c.names.size() << " spaces";
    }
};

class CalculatorLiteral : public ::testing::TestWithParam<RandomCase> {};

TEST_P(CalculatorLiteral, BitIdentical) {
    const RandomCase& rc = GetParam();
    std::mt19937_64 rng(rc.tokens * 31 + rc.width);
    std::normal_distribution<double> normal(0.0, 1.0);
    auto vec = [&] {
        std::vector<double> v(rc.width);
        for (double& x : v) x = normal(rng);
        return v;
    };
    std::vector<Token> base;
    for (std::size_t j = 0; j < rc.tokens; ++j) base.push_back(token(test::numbered("w", rng() % rc.distinct_texts), vec()));
    std::vector<Space> compare;
    for (const std::string& name : rc.names) {
        std::vector<Token> toks;
        for (std::size_t k = 0; k < 1 + rng() % 5; ++k) toks.push_back(token(name, vec()));
        compare.push_back(space(name, toks));
    }
    const Space base_space = space("random", base);
    const Calculator expected = literal_calculator(base_space, compare);
    const Calculator actual = Calculator::new_calculator(base_space, compare);

    ASSERT_EQ(actual.ideal_similarity.size(), expected.ideal_similarity.size());
    for (std::size_t i = 0; i < expected.ideal_similarity.size(); ++i) {
        EXPECT_EQ(actual.ideal_similarity.entry(i).first, expected.ideal_similarity.entry(i).first);
        EXPECT_TRUE(same_value(expected.ideal_similarity.entry(i).second, actual.ideal_similarity.entry(i).second));
    }
    ASSERT_EQ(actual.bias.size(), expected.bias.size());
    for (std::size_t i = 0; i < expected.bias.size(); ++i) {
        const auto& [name, want] = expected.bias.entry(i);
        const auto& [got_name, got] = actual.bias.entry(i);
        EXPECT_EQ(got_name, name);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t j = 0; j < want.size(); ++j) {
            EXPECT_EQ(got.entry(j).first, want.entry(j).first);
            EXPECT_EQ(bits_of(got.entry(j).second), bits_of(want.entry(j).second)) << name << " / " << want.entry(j).first;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CalculatorLiteral,
    ::testing::Values(RandomCase{1, 1, 1, {"Space of a"}},
                      RandomCase{7, 3, 7, {"Space of a", "Space of b"}},
                      RandomCase{203, 19, 50, {"Space of a", "Space of b", "Space of a"}},
                      RandomCase{1001, 64, 5000, {"Space of a", "Space of b", "Space of c", "Space of d", "Space of e", "Space of f"}},
                      // Enough work to run on several threads.
                      RandomCase{20011, 256, 30000, {"Space of he", "Space of she", "Space of it"}}));

}  // namespace
}  // namespace orvelle
