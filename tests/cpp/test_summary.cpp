// The summary file: nested table rendering, path rule, file handling and the
// failure texts of the system calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "calc_support.hpp"
#include "deadline.hpp"
#include "fio/writer/calculator_summary.hpp"
#include "fio/writer/output_file.hpp"
#include "space/calculator.hpp"

namespace orvelle {
namespace {

using test::read_file;

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

const std::string kUnwrap = "called `Result::unwrap()` on an `Err` value: ";

// ---- rendering ----------------------------------------------------------------

struct MapCase {
    std::string label;
    BiasTable bias;
    std::string out;
    friend void PrintTo(const MapCase& c, std::ostream* os) { *os << c.label; }
};

std::vector<MapCase> load_map_cases() {
    simdjson::dom::parser parser;
    simdjson::dom::element doc;
    if (parser.load(test::golden_path("map_debug.json")).get(doc) != simdjson::SUCCESS) {
        return {{"<map_debug.json missing>", {}, "<unreadable>"}};
    }
    std::vector<MapCase> cases;
    for (simdjson::dom::element c : doc["cases"].get_array()) {
        MapCase mc;
        mc.out = std::string(c["out"].get_string().value());
        mc.label = mc.out;
        const auto varies = c["order_varies"].get_bool();
        const bool order_varies = !varies.error() && varies.value_unsafe();
        if (c["outer_key"].is_null()) {
            // empty outer table
        } else if (c["inner_key"].is_null()) {
            mc.bias.insert(std::string(c["outer_key"].get_string().value()), {});
        } else if (order_varies) {
            // Two spaces, each {doctor: 1.5, nurse: -0.25}; written in
            // insertion order here.
            OrderedTable<double> inner;
            inner.insert("doctor", 1.5);
            inner.insert("nurse", -0.25);
            mc.bias.insert("Space of he", inner);
            mc.bias.insert("Space of she", inner);
        } else {
            const std::string bits(c["value_bits"].get_string().value());
            OrderedTable<double> inner;
            inner.insert(std::string(c["inner_key"].get_string().value()),
                         test::from_bits(std::stoull(bits, nullptr, 16)));
            mc.bias.insert(std::string(c["outer_key"].get_string().value()), inner);
        }
        cases.push_back(std::move(mc));
    }
    return cases;
}

class BiasDebugGolden : public ::testing::TestWithParam<MapCase> {};

TEST_P(BiasDebugGolden, MatchesReference) {
    std::string out;
    append_bias_debug(out, GetParam().bias);
    EXPECT_EQ(out, GetParam().out);
    EXPECT_EQ(calculator_summary_content(GetParam().bias), "ideal_similarity: " + GetParam().out + "\n");
}

INSTANTIATE_TEST_SUITE_P(Golden, BiasDebugGolden, ::testing::ValuesIn(load_map_cases()),
                         [](const auto& info) { return test::numbered("case", info.index); });

// Texts full of line breaks still give exactly one line.
TEST(SummaryContent, ExactlyOneLineFeedAtTheEnd) {
    OrderedTable<double> inner;
    inner.insert("a\nb", 1.0);
    inner.insert("c\r\nd\u2028", 2.0);
    BiasTable bias;
    bias.insert("Space of \n", inner);
    const std::string content = calculator_summary_content(bias);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 1);
    EXPECT_EQ(content.back(), '\n');
    EXPECT_EQ(content.find('\r'), std::string::npos);
    EXPECT_EQ(content,
              "ideal_similarity: {\"Space of \\n\": {\"a\\nb\": 1.0, \"c\\r\\nd\\u{2028}\": 2.0}}\n");
}

// ---- path and file ------------------------------------------------------------

struct PathCase {
    const char* folder;
    const char* path;
    friend void PrintTo(const PathCase& c, std::ostream* os) { *os << '"' << c.folder << '"'; }
};

class SummaryPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(SummaryPath, FolderTakenAsGiven) {
    EXPECT_EQ(calculator_summary_path(GetParam().folder), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(Table, SummaryPath,
                         ::testing::Values(PathCase{"./", ".//calculator_summary.txt"},
                                           PathCase{"out/", "out//calculator_summary.txt"},
                                           PathCase{"out", "out/calculator_summary.txt"},
                                           PathCase{"", "/calculator_summary.txt"},
                                           PathCase{"a//b/../", "a//b/..//calculator_summary.txt"}));

BiasTable small_bias() {
    OrderedTable<double> inner;
    inner.insert("doctor", 0.5);
    inner.insert("say \"hi\"", -0.25);
    BiasTable bias;
    bias.insert("Space of he", inner);
    return bias;
}

const char* const kSmallContent = "ideal_similarity: {\"Space of he\": {\"doctor\": 0.5, \"say \\\"hi\\\"\": -0.25}}\n";

// Folder written as given, with or without its trailing slash; an existing
// longer file is cut to the new content.
struct FileCase {
    const char* label;
    const char* suffix;     // appended to the temporary folder
    std::size_t old_bytes;  // size of a file already there, 0 for none
    friend void PrintTo(const FileCase& c, std::ostream* os) { *os << c.label; }
};

class SummaryFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(SummaryFile, WritesExactlyTheContent) {
    test::TempDir dir;
    const std::string file = dir.path() + "/calculator_summary.txt";
    if (GetParam().old_bytes > 0) {
        std::ofstream(file, std::ios::binary) << std::string(GetParam().old_bytes, 'x');
    }
    const std::string folder = dir.path() + GetParam().suffix;
    write_calculator_summary(small_bias(), folder);
    EXPECT_EQ(read_file(file), kSmallContent) << GetParam().label;
    write_calculator_summary(small_bias(), folder);
    EXPECT_EQ(read_file(file), kSmallContent) << GetParam().label << ", written twice";
}

INSTANTIATE_TEST_SUITE_P(Table, SummaryFile,
                         ::testing::Values(FileCase{"plain folder", "", 0},
                                           FileCase{"trailing slash gives a double slash", "/", 0},
                                           FileCase{"dot segment", "/.", 0},
                                           FileCase{"longer file is truncated", "", 10000},
                                           FileCase{"shorter file is replaced", "/", 3}));

// Calculator::save_summary with the default folder writes into the current
// directory through ".//calculator_summary.txt".
TEST(SummaryFile, DefaultFolderIsCurrentDirectory) {
    test::TempDir dir;
    char old_cwd[4096];
    ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    Calculator calc;
    calc.bias = small_bias();
    calc.ideal_similarity.insert("Space of he", 0.75);  // never written
    std::string error;
    try {
        calc.save_summary("./");
    } catch (const Panic& p) {
        error = p.message();
    }
    ASSERT_EQ(::chdir(old_cwd), 0);
    EXPECT_EQ(error, "");
    EXPECT_EQ(read_file(dir.path() + "/calculator_summary.txt"), kSmallContent);
}

TEST(SummaryFile, NewFileModeFollowsUmask) {
    test::TempDir dir;
    const mode_t old = ::umask(027);
    write_calculator_summary(small_bias(), dir.path());
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat((dir.path() + "/calculator_summary.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// ---- failures -----------------------------------------------------------------

TEST(SummaryFailure, MissingFolderIsNotCreated) {
    test::TempDir dir;
    const std::string folder = dir.path() + "/missing";
    EXPECT_EQ(test::panic_message([&] { write_calculator_summary(small_bias(), folder); }),
              kUnwrap + "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
    EXPECT_FALSE(exists(folder));
}

TEST(SummaryFailure, PathNamingADirectory) {
    test::TempDir dir;
    ASSERT_EQ(::mkdir((dir.path() + "/calculator_summary.txt").c_str(), 0777), 0);
    EXPECT_EQ(test::panic_message([&] { write_calculator_summary(small_bias(), dir.path()); }),
              kUnwrap + "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
}

// Everything up to the NUL would name a file; nothing may be created there.
TEST(SummaryFailure, NulByteInFolderOpensNothing) {
    test::TempDir dir;
    const std::string folder = dir.path() + "/sub" + std::string(1, '\0') + "x";
    EXPECT_EQ(test::panic_message([&] { write_calculator_summary(small_bias(), folder); }),
              kUnwrap + "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
    EXPECT_FALSE(exists(dir.path() + "/sub"));
    Calculator calc;
    EXPECT_EQ(test::panic_message([&] { calc.save_summary(std::string("./\0", 3)); }),
              kUnwrap + "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
}

TEST(SummaryFailure, ReadOnlyFolder) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores permissions";
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const std::string text = test::panic_message([&] { write_calculator_summary(small_bias(), dir.path()); });
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(text, kUnwrap + "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }");
}

// ---- write_all ----------------------------------------------------------------

// A scripted write(2): each call takes the next step; a positive step accepts
// that many bytes, 0 accepts none, a negative step fails with -step as errno.
std::vector<long> g_steps;
std::size_t g_next = 0;
std::string g_written;

ssize_t scripted_write(int, const void* buf, size_t count) {
    const long step = g_next < g_steps.size() ? g_steps[g_next++] : static_cast<long>(count);
    if (step < 0) {
        errno = static_cast<int>(-step);
        return -1;
    }
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(step), count);
    g_written.append(static_cast<const char*>(buf), n);
    return static_cast<ssize_t>(n);
}

struct WriteCase {
    const char* label;
    std::vector<long> steps;
    std::string written;  // what reached the file
    std::string error;    // "" for success
    friend void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.label; }
};

class ScriptedWriteAll : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ScriptedWriteAll, RetriesShortAndInterruptedWrites) {
    // In a child with a deadline: a retry that makes no progress fails here
    // instead of spinning forever.
    const auto result = fixtures::run_within(std::chrono::seconds(5), [] {
        g_steps = GetParam().steps;
        g_next = 0;
        g_written.clear();
        const std::string text = test::panic_message([] { OutputFile::write_all(3, "abcdefgh", scripted_write); });
        return text + '\0' + g_written + '\0';
    });
    ASSERT_TRUE(result) << GetParam().label << ": write_all did not return within 5 s";
    const std::vector<std::string> f = fixtures::nul_fields(*result);
    ASSERT_EQ(f.size(), 2u) << GetParam().label;
    EXPECT_EQ(f[0], GetParam().error.empty() ? "<no panic>" : kUnwrap + GetParam().error) << GetParam().label;
    EXPECT_EQ(f[1], GetParam().written) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScriptedWriteAll,
    ::testing::Values(
        WriteCase{"all at once", {}, "abcdefgh", ""},
        WriteCase{"one byte at a time", {1, 1, 1, 1, 1, 1, 1, 1}, "abcdefgh", ""},
        WriteCase{"interrupted, then the rest", {3, -EINTR, -EINTR, 5}, "abcdefgh", ""},
        WriteCase{"accepts nothing", {2, 0}, "ab",
                  "Error { kind: WriteZero, message: \"failed to write whole buffer\" }"},
        WriteCase{"disk full part-way", {5, -ENOSPC}, "abcde",
                  "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }"},
        WriteCase{"I/O error", {-EIO}, "",
                  "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }"}),
    [](const auto& info) { return test::numbered("case", info.index); });

TEST(ScriptedWriteAll, FullDevice) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    const std::string text = test::panic_message([&] { OutputFile::write_all(fd, "x", ::write); });
    ::close(fd);
    EXPECT_EQ(text, kUnwrap + "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }");
}

}  // namespace
}  // namespace orvelle
