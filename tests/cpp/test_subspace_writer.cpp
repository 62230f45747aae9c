#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "fio/writer/output_file.hpp"
#include "fio/writer/subspace.hpp"
#include "deadline.hpp"
#include "test_support.hpp"
#include "space/space.hpp"

namespace orvelle {
namespace {

namespace fs = std::filesystem;
using test::panic_message;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using test::TempDir;

using test::read_file;

Space space_of(std::vector<Token> tokens) {
    Space s;
    s.name = "Global Space";
    s.tokens = std::move(tokens);
    return s;
}

struct ListingCase {
    const char* label;
    std::vector<Token> tokens;
    std::string want;
};

class Listing : public ::testing::TestWithParam<ListingCase> {};

TEST_P(Listing, FileHoldsExactlyTheLines) {
    const ListingCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("random_subspace.txt");
    space_of(c.tokens).write(path, false);
    EXPECT_EQ(read_file(path), c.want) << c.label;
}

const std::size_t kMaxIndex = std::numeric_limits<std::size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, Listing,
    ::testing::Values(
        ListingCase{"one token", {Token{"he", {0.5, -1, 2.25}, 12, 3}}, "he 3 12 0.5,-1,2.25,\n"},
        ListingCase{"two tokens, two lines",
                    {Token{"a", {1}, 0, 0}, Token{"b", {2}, 1, 1}},
                    "a 0 0 1,\nb 1 1 2,\n"},
        ListingCase{"integral values carry no point", {Token{"x", {1.0, 100.0, 0.0, -3.0}, 0, 0}},
                    "x 0 0 1,100,0,-3,\n"},
        ListingCase{"negative zero, NaN, infinities", {Token{"x", {-0.0, kNaN, -kNaN, kInf, -kInf}, 0, 0}},
                    "x 0 0 -0,NaN,NaN,inf,-inf,\n"},
        ListingCase{"huge and tiny stay positional", {Token{"x", {1e21, 1e-7, -1.5e-10}, 0, 0}},
                    "x 0 0 1000000000000000000000,0.0000001,-0.00000000015,\n"},
        ListingCase{"shortest round trip", {Token{"x", {0.1 + 0.2, 1.0 / 3}, 0, 0}},
                    "x 0 0 0.30000000000000004,0.3333333333333333,\n"},
        ListingCase{"empty vector writes no values", {Token{"x", {}, 4, 2}}, "x 2 4 \n"},
        ListingCase{"text written unchanged", {Token{"a b,c\"é", {1}, 0, 0}}, "a b,c\"é 0 0 1,\n"},
        ListingCase{"largest indexes", {Token{"x", {1}, kMaxIndex, kMaxIndex}},
                    "x 18446744073709551615 18446744073709551615 1,\n"},
        ListingCase{"empty space, empty file", {}, ""}));

// A line as long as any value can make it, through the reused buffer, after
// a short one.
TEST(ListingLine, BufferGrowsForLongLines) {
    ListingLine line;
    EXPECT_EQ(line.build(Token{"s", {1}, 0, 0}), "s 0 0 1,\n");
    const double tiny = -std::numeric_limits<double>::denorm_min();
    std::string value = "-0." + std::string(323, '0') + "5,";
    Token big{"t", std::vector<double>(600, tiny), 1, 2};
    std::string want = "t 2 1 ";
    for (int i = 0; i < 600; ++i) want += value;
    want += '\n';
    EXPECT_EQ(line.build(big), want);
}

TEST(SubspaceWriter, TruncatesALongerFile) {
    TempDir dir;
    const std::string path = dir.file("listing.txt");
    { std::ofstream(path) << std::string(10000, 'z') << "\nold line\n"; }
    space_of({Token{"new", {1}, 0, 0}}).write(path, true);
    EXPECT_EQ(read_file(path), "new 0 0 1,\n");
}

// The bar only draws on a terminal; the file is the same either way.
TEST(SubspaceWriter, ProgressBarDoesNotChangeTheFile) {
    TempDir dir;
    Space s = space_of({Token{"a", {1, 2}, 0, 0}, Token{"b", {3}, 1, 0}});
    s.write(dir.file("quiet.txt"), false);
    s.write(dir.file("friendly.txt"), true);
    EXPECT_EQ(read_file(dir.file("quiet.txt")), read_file(dir.file("friendly.txt")));
}

TEST(SubspaceWriter, CreatesWithMode0666BeforeTheUmask) {
    TempDir dir;
    for (mode_t mask : {mode_t{0}, mode_t{027}}) {
        const std::string path = dir.file("mode" + std::to_string(mask) + ".txt");
        const mode_t old = umask(mask);
        space_of({Token{"a", {1}, 0, 0}}).write(path, false);
        umask(old);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    }
}

struct OpenFailure {
    const char* label;
    std::string path;  // relative to a fresh folder
    std::string message;
};

class SubspaceWriterFails : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(SubspaceWriterFails, WithSystemErrorAndNothingCreated) {
    const OpenFailure& c = GetParam();
    TempDir dir;
    fs::create_directory(dir.file("folder"));
    const std::string path = c.path[0] == '/' ? c.path : dir.file(c.path);
    const Space s = space_of({Token{"a", {1}, 0, 0}});
    EXPECT_EQ(panic_message([&] { s.write(path, false); }),
              "called `Result::unwrap()` on an `Err` value: " + c.message)
        << c.label;
    // Nothing but the prepared folder exists afterwards.
    const auto entries = std::distance(fs::recursive_directory_iterator(dir.path()),
                                       fs::recursive_directory_iterator());
    EXPECT_EQ(entries, 1) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubspaceWriterFails,
    ::testing::Values(
        OpenFailure{"missing folder", "missing/random_subspace.txt",
                    "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
        OpenFailure{"path names a folder", "folder",
                    "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }"},
        OpenFailure{"NUL in the path", std::string("listing.txt\0.bak", 16),
                    "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL "
                    "byte\" }"}));

TEST(SubspaceWriter, WriteFailureIsReported) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const Space s = space_of({Token{"a", {1}, 0, 0}});
    EXPECT_EQ(panic_message([&] { s.write("/dev/full", false); }),
              "called `Result::unwrap()` on an `Err` value: Os { code: 28, kind: StorageFull, "
              "message: \"No space left on device\" }");
}

// write_all against write calls that misbehave in the ways the system allows.
std::string g_written;
int g_calls;

ssize_t one_byte_at_a_time(int, const void* p, std::size_t) {
    ++g_calls;
    g_written += *static_cast<const char*>(p);
    return 1;
}
ssize_t interrupted_every_other_call(int, const void* p, std::size_t n) {
    if (g_calls++ % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    g_written.append(static_cast<const char*>(p), n > 3 ? 3 : n);
    return n > 3 ? 3 : static_cast<ssize_t>(n);
}
ssize_t accepts_nothing(int, const void*, std::size_t) {
    ++g_calls;
    return 0;
}
ssize_t disk_full(int, const void*, std::size_t) {
    ++g_calls;
    errno = ENOSPC;
    return -1;
}

struct WriteCase {
    const char* label;
    OutputFile::WriteFn fn;
    std::string message;  // empty: every byte arrives
};

class ListingWriteAll : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ListingWriteAll, RetriesOrFails) {
    const WriteCase& c = GetParam();
    const std::string bytes = "he 3 12 0.5,-1,2.25,\n";
    // In a child with a deadline: a retry that makes no progress fails here
    // instead of spinning forever.
    const auto result = fixtures::run_within(std::chrono::seconds(5), [&] {
        g_written.clear();
        g_calls = 0;
        const std::string got = panic_message([&] { OutputFile::write_all(-1, bytes, c.fn); });
        return got + '\0' + std::to_string(g_calls) + '\0' + g_written + '\0';
    });
    ASSERT_TRUE(result) << c.label << ": write_all did not return within 5 s";
    const std::vector<std::string> f = fixtures::nul_fields(*result);
    ASSERT_EQ(f.size(), 3u) << c.label;
    const std::string &got = f[0], &calls = f[1], &written = f[2];
    if (c.message.empty()) {
        EXPECT_EQ(got, "<no panic>") << c.label;
        EXPECT_EQ(written, bytes) << c.label;
    } else {
        EXPECT_EQ(got, "called `Result::unwrap()` on an `Err` value: " + c.message) << c.label;
        EXPECT_EQ(calls, "1") << c.label;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListingWriteAll,
    ::testing::Values(
        WriteCase{"partial writes", &one_byte_at_a_time, ""},
        WriteCase{"interrupted writes", &interrupted_every_other_call, ""},
        WriteCase{"zero-byte write", &accepts_nothing,
                  "Error { kind: WriteZero, message: \"failed to write whole buffer\" }"},
        WriteCase{"full disk", &disk_full,
                  "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }"}));

}  // namespace
}  // namespace orvelle
