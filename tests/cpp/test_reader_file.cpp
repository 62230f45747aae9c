// Reading whole feature files: line splitting, the failure table, the token
// expansion, and the same outcome for every thread count and batch size.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fio/reader/kelvra.hpp"
#include "reader_golden.hpp"
#include "util/panic.hpp"

namespace orvelle {
namespace {

namespace fs = std::filesystem;

using test::TempDir;

struct Outcome {
    std::vector<Line> lines;
    std::string panic;  // the failure message, "" on success
};

Outcome read(const std::string& path, ReadOptions options = {}) {
    try {
        return {read_feature_file(path, false, options), ""};
    } catch (const Panic& p) {
        return {{}, p.message()};
    }
}

// Lines equal to the last bit of every value.
bool same(const std::vector<Line>& a, const std::vector<Line>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].index != b[i].index || a[i].tokens.size() != b[i].tokens.size()) return false;
        for (std::size_t t = 0; t < a[i].tokens.size(); ++t) {
            const Token &x = a[i].tokens[t], &y = b[i].tokens[t];
            if (x.text != y.text || x.layer_index != y.layer_index || x.line_index != y.line_index ||
                x.embedding.size() != y.embedding.size())
                return false;
            for (std::size_t v = 0; v < x.embedding.size(); ++v)
                if (test::bits_of(x.embedding[v]) != test::bits_of(y.embedding[v])) return false;
        }
    }
    return true;
}

std::string std_payload(std::string_view label) {
    simdjson::dom::parser parser;
    for (simdjson::dom::element c : test::load_golden(parser, "std_messages.json")["panics"].get_array())
        if (c["label"].get_string().value() == label) return std::string(c["payload"].get_string().value());
    ADD_FAILURE() << "no payload " << label;
    return "";
}

const std::string kGood =
    R"({"linex_index":0,"features":[{"token":"a","layers":[{"index":1,"values":[0.5]}]}]})";
const std::string kGood2 =
    R"({"linex_index":1,"features":[{"token":"##b","layers":[{"index":2,"values":[-1,2.5e-3]}]}]})";

// ---- every golden line, written as a one-line file ----------------------------

class GoldenFileTest : public ::testing::TestWithParam<test::GoldenLine> {};

TEST_P(GoldenFileTest, ReadsAsTheReference) {
    const test::GoldenLine& g = GetParam();
    if (g.line.find('\n') != std::string::npos) GTEST_SKIP() << "holds a line end: not one file line";
    TempDir dir;
    std::string path = dir.write("line.jsonl", g.line + "\n");
    for (unsigned threads : {1u, 3u}) {
        Outcome o = read(path, {threads, 4u << 20});
        if (!g.ok) {
            EXPECT_EQ(o.panic, unwrap_message(g.debug)) << threads << " threads";
            continue;
        }
        ASSERT_EQ(o.panic, "");
        ASSERT_EQ(o.lines.size(), 1u);
        const Line& line = o.lines[0];
        EXPECT_EQ(line.index, g.linex_index);
        std::size_t t = 0;
        for (const auto& f : g.features) {
            for (const auto& layer : f.layers) {
                ASSERT_LT(t, line.tokens.size());
                const Token& token = line.tokens[t++];
                EXPECT_EQ(token.text, f.token_normalised);
                EXPECT_EQ(token.layer_index, layer.index);
                EXPECT_EQ(token.line_index, g.linex_index);
                ASSERT_EQ(token.embedding.size(), layer.value_bits.size());
                for (std::size_t v = 0; v < layer.value_bits.size(); ++v)
                    EXPECT_EQ(test::hex_bits(token.embedding[v]), layer.value_bits[v]);
            }
        }
        EXPECT_EQ(t, line.tokens.size());
    }
}

INSTANTIATE_TEST_SUITE_P(SerdeErrors, GoldenFileTest, ::testing::ValuesIn(test::golden_lines()),
                         [](const auto& info) { return test::test_name(info.index, info.param.label); });

// ---- whole files --------------------------------------------------------------

struct FileCase {
    const char* name;
    std::string bytes;
    std::size_t lines;     // expected line count on success
    std::string error;     // debug form of the expected failure, "" for success
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

const std::string kBadUtf8 = simple_error_debug("InvalidData", kInvalidUtf8);

class FileCaseTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileCaseTest, Reads) {
    const FileCase& c = GetParam();
    TempDir dir;
    std::string path = dir.write("f.jsonl", c.bytes);
    for (ReadOptions options : {ReadOptions{1, 4u << 20}, ReadOptions{2, 1}, ReadOptions{3, 50}}) {
        Outcome o = read(path, options);
        if (c.error.empty()) {
            EXPECT_EQ(o.panic, "");
            EXPECT_EQ(o.lines.size(), c.lines);
        } else {
            EXPECT_EQ(o.panic, unwrap_message(c.error));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileCaseTest,
    ::testing::Values(
        FileCase{"empty_file", "", 0, ""},
        FileCase{"lf", kGood + "\n" + kGood2 + "\n", 2, ""},
        FileCase{"crlf", kGood + "\r\n" + kGood2 + "\r\n", 2, ""},
        FileCase{"no_final_terminator", kGood + "\n" + kGood2, 2, ""},
        FileCase{"cr_before_crlf_is_a_blank", kGood + "\r\r\n", 1, ""},
        FileCase{"final_cr_without_lf", kGood + "\r", 1, ""},
        FileCase{"blank_last_line", kGood + "\n\n", 0,
                 R"(Error("EOF while parsing a value", line: 1, column: 0))"},
        FileCase{"blank_line_inside", kGood + "\n\n" + kGood2 + "\n", 0,
                 R"(Error("EOF while parsing a value", line: 1, column: 0))"},
        FileCase{"blanks_only_line", kGood + "\n  \t\n", 0,
                 R"(Error("EOF while parsing a value", line: 1, column: 3))"},
        FileCase{"byte_order_mark", "\xEF\xBB\xBF" + kGood + "\n", 0,
                 R"(Error("expected value", line: 1, column: 1))"},
        FileCase{"error_column_within_its_line", kGood + "\n" + kGood2 + "\n" + R"({"linex_index":2})" + "\n", 0,
                 R"(Error("missing field `features`", line: 1, column: 17))"},
        FileCase{"bad_utf8_second_line", kGood + "\n" + "{\"linex_index\":0,\xFF}\n", 0, kBadUtf8},
        FileCase{"bad_utf8_in_a_token", kGood + "\n" +
                     R"({"linex_index":0,"features":[{"token":")" + "\xC3\x28" + R"(","layers":[]}]})", 0, kBadUtf8},
        FileCase{"bad_utf8_wins_within_its_line", "{\xC4}\n", 0, kBadUtf8},
        FileCase{"earlier_json_error_wins", "[1]\n\xFF\n", 0,
                 R"(Error("invalid length 1, expected struct LineKelvra with 2 elements", line: 1, column: 3))"},
        FileCase{"earlier_utf8_error_wins", "\xFF\n[1]\n", 0, kBadUtf8},
        FileCase{"two_objects_on_a_line", kGood + kGood + "\n", 0,
                 R"(Error("trailing characters", line: 1, column: 83))"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileErrors, MissingFile) {
    TempDir dir;
    Outcome o = read(dir.path() + "/missing.jsonl");
    EXPECT_EQ(o.panic, std_payload("File::open of a missing file, unwrapped"));
}

TEST(FileErrors, DirectoryFailsOnRead) {
    TempDir dir;
    Outcome o = read(dir.path());
    EXPECT_EQ(o.panic, std_payload("reading a line from a directory, unwrapped"));
}

TEST(FileErrors, NulInPath) {
    Outcome o = read(std::string("a\0b", 3));
    EXPECT_EQ(o.panic, unwrap_message(simple_error_debug("InvalidInput", kNulInPath)));
}

TEST(FileErrors, Unreadable) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempDir dir;
    std::string path = dir.write("locked.jsonl", kGood + "\n");
    chmod(path.c_str(), 0);
    EXPECT_EQ(read(path).panic, unwrap_message(os_error_debug(EACCES)));
}

// ---- token expansion --------------------------------------------------------------

TEST(TokenExpansion, FeaturesThenLayersInFileOrder) {
    TempDir dir;
    std::string path = dir.write(
        "f.jsonl",
        R"({"features":[{"token":"##ing","layers":[{"index":12,"values":[1]},{"index":0,"values":[2,3]},)"
        R"({"index":5,"values":[]}]},{"layers":[[7,[4]],[7,[5]],[1,[6]]],"token":"\u0120the"}],"linex_index":9})"
        "\n[4,[]]\n" R"({"linex_index":4,"features":[{"token":"x","layers":[]}]})");
    Outcome o = read(path);
    ASSERT_EQ(o.panic, "");
    ASSERT_EQ(o.lines.size(), 3u);
    std::vector<Token> want = {
        {"ing", {1.0}, 12, 9}, {"ing", {2.0, 3.0}, 0, 9}, {"ing", {}, 5, 9},
        {"the", {4.0}, 7, 9},  {"the", {5.0}, 7, 9},      {"the", {6.0}, 1, 9},
    };
    EXPECT_EQ(o.lines[0].index, 9u);
    EXPECT_EQ(o.lines[0].tokens, want);
    EXPECT_EQ(o.lines[1], (Line{{}, 4}));
    EXPECT_EQ(o.lines[2], (Line{{}, 4}));  // a feature without layers adds no token
    EXPECT_EQ(KelvraReader{}.read(path, false), o.lines);
}

TEST(TokenExpansion, EmbeddingsHaveNoSpareCapacity) {
    TempDir dir;
    std::string path = dir.write(
        "f.jsonl", R"([0,[["a",[[0,[1,2,3,4,5]],[1,[1,2,3]],[2,[1,2,3,4,5,6,7,8,9,10,11,12,13]]]]]])");
    Outcome o = read(path);
    ASSERT_EQ(o.panic, "");
    for (const Token& t : o.lines.at(0).tokens) EXPECT_EQ(t.embedding.capacity(), t.embedding.size());
}

// ---- thread counts and batch sizes ------------------------------------------------

// A file of varied lines: markers in texts, escapes, both record forms,
// unknown keys, CRLF and LF, long and short number literals.
std::string varied_file(unsigned seed, std::size_t lines) {
    std::mt19937_64 rng(seed);
    const char* words[] = {"##ing", "\\u0120the", "\xC4\xA0" "cat", "\xE2\x96\x81sat", "a\\\"b", "x", "", "##"};
    std::string out;
    for (std::size_t i = 0; i < lines; ++i) {
        bool array_form = rng() % 4 == 0;
        std::string features;
        std::size_t nf = rng() % 4;
        for (std::size_t f = 0; f < nf; ++f) {
            std::string layers;
            std::size_t nl = rng() % 3;
            for (std::size_t l = 0; l < nl; ++l) {
                std::string values;
                std::size_t nv = rng() % 40;
                for (std::size_t v = 0; v < nv; ++v) {
                    std::uniform_real_distribution<double> d(-3, 3);
                    char buf[40];
                    int digits = 1 + static_cast<int>(rng() % 19);
                    std::snprintf(buf, sizeof buf, "%.*g", digits, d(rng) * std::pow(10.0, double(rng() % 9) - 4));
                    if (v) values += ',';
                    values += buf;
                }
                if (l) layers += ',';
                layers.append(R"({"index":)").append(std::to_string(rng() % 13));
                layers.append(R"(,"values":[)").append(values).append("]}");
            }
            if (f) features += ',';
            features.append(R"({"token":")").append(words[rng() % 8]);
            features.append(R"(","junk":[1,{"a":null}],"layers":[)").append(layers).append("]}");
        }
        if (array_form)
            out += "[" + std::to_string(i) + ",[" + features + "]]";
        else
            out += R"({"linex_index":)" + std::to_string(i) + R"(,"features":[)" + features + "]}";
        out += rng() % 2 ? "\r\n" : "\n";
    }
    return out;
}

TEST(Threads, SameLinesForEveryThreadCountAndBatchSize) {
    TempDir dir;
    std::string path = dir.write("f.jsonl", varied_file(7, 400));
    Outcome base = read(path, {1, 4u << 20});
    ASSERT_EQ(base.panic, "");
    ASSERT_EQ(base.lines.size(), 400u);
    for (ReadOptions options : {ReadOptions{2, 4u << 20}, ReadOptions{2, 1}, ReadOptions{3, 333},
                                ReadOptions{8, 4096}, ReadOptions{0, 65536}}) {
        Outcome o = read(path, options);
        ASSERT_EQ(o.panic, "");
        EXPECT_TRUE(same(o.lines, base.lines)) << options.threads << " threads, batch " << options.batch_bytes;
    }
}

TEST(Threads, FirstFailingLineInFileOrderWins) {
    // Line 150 is malformed, line 300 is not UTF-8, line 350 malformed again:
    // whichever thread finishes first, line 150's error is the one reported.
    std::string text = varied_file(3, 400);
    std::vector<std::string> lines;
    for (std::size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start + 1));
    lines[150] = R"({"linex_index":-1,"features":[]})" "\n";
    lines[300] = "\xFF\n";
    lines[350] = "[1]\n";
    std::string joined;
    for (const std::string& l : lines) joined += l;
    TempDir dir;
    std::string path = dir.write("f.jsonl", joined);
    std::string want = unwrap_message(R"(Error("invalid value: integer `-1`, expected usize", line: 1, column: 17))");
    for (ReadOptions options : {ReadOptions{1, 4u << 20}, ReadOptions{2, 1}, ReadOptions{4, 100}, ReadOptions{8, 5000}})
        EXPECT_EQ(read(path, options).panic, want) << options.threads << " threads";
}

TEST(Threads, ProgressCountsLineBytesWithoutTerminators) {
    std::string text = varied_file(11, 200) + kGood;  // last line unterminated
    std::size_t terminators = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n') terminators += (i > 0 && text[i - 1] == '\r') ? 2 : 1;
    TempDir dir;
    std::string path = dir.write("f.jsonl", text);
    for (ReadOptions options : {ReadOptions{1, 4u << 20}, ReadOptions{3, 64}}) {
        FeatureFile file(path);
        EXPECT_EQ(file.size(), text.size());
        std::uint64_t counted = 0;
        auto records = decode_file(file, options, [&](std::uint64_t n) { counted += n; });
        EXPECT_EQ(records.size(), 201u);
        EXPECT_EQ(counted, text.size() - terminators);
    }
}

TEST(Threads, LineLongerThanABatch) {
    std::string values;
    for (int i = 0; i < 5000; ++i) {
        if (i) values += ',';
        values.append(std::to_string(i)).append(".25");
    }
    std::string line = R"({"linex_index":3,"features":[{"token":"t","layers":[{"index":1,"values":[)" + values + "]}]}]}";
    TempDir dir;
    std::string path = dir.write("f.jsonl", kGood + "\n" + line + "\n" + kGood2 + "\n");
    Outcome o = read(path, {2, 1000});
    ASSERT_EQ(o.panic, "");
    ASSERT_EQ(o.lines.size(), 3u);
    ASSERT_EQ(o.lines[1].tokens.at(0).embedding.size(), 5000u);
    EXPECT_EQ(o.lines[1].tokens[0].embedding[4999], 4999.25);
}

}  // namespace
}  // namespace orvelle
