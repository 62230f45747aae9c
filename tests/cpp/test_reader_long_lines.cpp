// Lines far beyond any real feature line: number literals with billions of
// digits, decoded at their full length without the memory they would take,
// and the limit on the length of a line the file reader accepts.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fio/reader/kelvra.hpp"
#include "fio/reader/kelvra_decoder.hpp"
#include "reader_golden.hpp"
#include "util/panic.hpp"

namespace orvelle {
namespace {

// The text `head`, then `count` copies of `fill`, then `tail`, in a few MiB of
// memory however long it is: the run is one chunk of memory mapped again and
// again at consecutive addresses.
class RepeatedRun {
public:
    RepeatedRun(std::string_view head, char fill, std::uint64_t count, std::string_view tail) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t chunk = std::size_t{4} << 20;
        auto round_up = [&](std::size_t n) { return (n + page - 1) / page * page; };
        const std::size_t head_region = round_up(head.size());
        const std::size_t chunks = count / chunk;
        const std::size_t rest = count % chunk;
        const std::size_t tail_region = round_up(rest + tail.size());
        size_ = head_region + chunks * chunk + tail_region;

        void* base = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) return;
        base_ = static_cast<char*>(base);
        const int rw = PROT_READ | PROT_WRITE, anon = MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED;
        if (mmap(base_, head_region, rw, anon, -1, 0) == MAP_FAILED) return;
        if (mmap(base_ + size_ - tail_region, tail_region, rw, anon, -1, 0) == MAP_FAILED) return;

        int fd = memfd_create("digit_run", MFD_CLOEXEC);
        if (fd < 0) return;
        bool mapped = ftruncate(fd, static_cast<off_t>(chunk)) == 0;
        if (mapped) {
            void* run = mmap(nullptr, chunk, rw, MAP_SHARED, fd, 0);
            mapped = run != MAP_FAILED;
            if (mapped) {
                std::memset(run, fill, chunk);
                munmap(run, chunk);
            }
        }
        for (std::size_t k = 0; mapped && k < chunks; ++k)
            mapped = mmap(base_ + head_region + k * chunk, chunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) !=
                     MAP_FAILED;
        close(fd);
        if (!mapped) return;

        char* start = base_ + head_region - head.size();
        std::memcpy(start, head.data(), head.size());
        char* after_chunks = base_ + head_region + chunks * chunk;
        std::memset(after_chunks, fill, rest);
        std::memcpy(after_chunks + rest, tail.data(), tail.size());
        text_ = std::string_view(start, head.size() + count + tail.size());
    }
    ~RepeatedRun() {
        if (base_) munmap(base_, size_);
    }
    RepeatedRun(const RepeatedRun&) = delete;
    RepeatedRun& operator=(const RepeatedRun&) = delete;

    // Empty when the system refused the mappings.
    std::string_view text() const { return text_; }

private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
    std::string_view text_;
};

const std::string kValuesHead = R"({"linex_index":0,"features":[{"token":"v","layers":[{"index":0,"values":[)";
const std::string kValuesTail = "]}]}]}";
const std::string kLine = kValuesHead + "0.5" + kValuesTail;  // 82 bytes

// A `values` element of `before`, `count` copies of '0' and `after`.
struct ZeroRun {
    const char* name;
    std::string before;
    std::uint64_t count;
    std::string after;
    double value;            // when error is empty
    std::string error;       // the message; placed after the whole literal
};

void PrintTo(const ZeroRun& c, std::ostream* os) { *os << c.name; }

class ZeroRunTest : public ::testing::TestWithParam<ZeroRun> {};

// Digits are counted in 64 bits: beyond 2^31 of them a fraction still
// vanishes, an integer is still out of range, and an explicit exponent still
// cancels the count exactly.
TEST_P(ZeroRunTest, DecodesAtFullLength) {
    const ZeroRun& c = GetParam();
    RepeatedRun run(kValuesHead + c.before, '0', c.count, c.after + kValuesTail);
    if (run.text().empty()) GTEST_SKIP() << "the system refused to map " << c.count << " bytes";
    KelvraDecoder decoder;
    try {
        LineKelvra line = decoder.decode(run.text());
        ASSERT_TRUE(c.error.empty()) << "decoded, expected " << c.error;
        EXPECT_EQ(test::hex_bits(line.features.at(0).layers.at(0).values.at(0)), test::hex_bits(c.value));
    } catch (const DecodeError& e) {
        ASSERT_FALSE(c.error.empty()) << e.debug();
        EXPECT_EQ(e.message, c.error);
        EXPECT_EQ(e.line, 1u);
        EXPECT_EQ(e.column, kValuesHead.size() + c.before.size() + c.count + c.after.size());
    }
}

constexpr std::uint64_t k2p31 = std::uint64_t{1} << 31;
constexpr std::uint64_t k2p32 = std::uint64_t{1} << 32;

INSTANTIATE_TEST_SUITE_P(
    BeyondInt, ZeroRunTest,
    ::testing::Values(
        ZeroRun{"fraction_vanishes", "0.", k2p31 + 52, "1", 0.0, ""},
        ZeroRun{"fraction_cancelled_by_exponent", "0.", k2p31 + 52, "1e2147483647", 1.0 / 1e54, ""},
        ZeroRun{"integer_out_of_range", "1", k2p31 + 52, "", 0, "number out of range"},
        ZeroRun{"integer_past_2_to_32_out_of_range", "1", k2p32 + 104, "", 0, "number out of range"},
        ZeroRun{"integer_cancelled_by_exponent", "1", k2p31 + 52, "e-2147483647", 1e19 * 1e34, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- whole files --------------------------------------------------------------

// A file in a fresh temporary folder; both go with it.
class TempFile {
public:
    // `head`, `count` copies of `fill`, `tail`, written a chunk at a time.
    const std::string& write(std::string_view head, char fill = 0, std::size_t count = 0, std::string_view tail = "") {
        std::ofstream out(path_, std::ios::binary);
        out << head;
        const std::string chunk(std::size_t{1} << 20, fill);
        for (std::size_t left = count; left > 0; left -= std::min(left, chunk.size()))
            out.write(chunk.data(), static_cast<std::streamsize>(std::min(left, chunk.size())));
        out << tail;
        return path_;
    }

private:
    test::TempDir dir_;
    std::string path_ = dir_.file("f.jsonl");
};

struct Outcome {
    std::vector<Line> lines;
    std::string panic;  // the failure message, "" on success
};

Outcome read(const std::string& path, ReadOptions options) {
    try {
        return {read_feature_file(path, false, options), ""};
    } catch (const Panic& p) {
        return {{}, p.message()};
    }
}

// A 200 MB line reads; the numbers beyond int counts above, end to end at a
// size a test affords.
struct LongLiteral {
    const char* name;
    std::string before;
    char fill;
    std::string after;
    double value;       // when error is empty
    std::string error;  // the message of the decoder's error, placed after the literal
};

void PrintTo(const LongLiteral& c, std::ostream* os) { *os << c.name; }

class LongLiteralTest : public ::testing::TestWithParam<LongLiteral> {};

TEST_P(LongLiteralTest, ReadsFromAFile) {
    const LongLiteral& c = GetParam();
    const std::size_t count = 200'000'000;
    TempFile file;
    const std::string& path = file.write(kLine + "\n" + kValuesHead + c.before, c.fill, count,
                                         c.after + kValuesTail + "\n" + kLine + "\n");
    Outcome o = read(path, {2, 4u << 20});
    if (!c.error.empty()) {
        std::size_t column = kValuesHead.size() + c.before.size() + count + c.after.size();
        EXPECT_EQ(o.panic, unwrap_message(decode_error_debug(c.error, 1, column)));
        return;
    }
    ASSERT_EQ(o.panic, "");
    ASSERT_EQ(o.lines.size(), 3u);
    EXPECT_EQ(test::hex_bits(o.lines[1].tokens.at(0).embedding.at(0)), test::hex_bits(c.value));
    EXPECT_EQ(o.lines[2].tokens.at(0).embedding.at(0), 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    TwoHundredMB, LongLiteralTest,
    ::testing::Values(LongLiteral{"fraction", "0.", '0', "1", 0.0, ""},
                      LongLiteral{"integer", "1", '0', "", 0, "number out of range"},
                      LongLiteral{"exponent", "1e-", '9', "", 0.0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The longest line, set low: the limit counts a line without its terminator,
// and a failure names the line and the limit, whether the line ends within
// a batch or is still being read.
struct LimitCase {
    const char* name;
    std::string bytes;
    std::size_t max_line;
    std::string panic;  // "" for success
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class LimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LimitTest, Reads) {
    const LimitCase& c = GetParam();
    TempFile file;
    const std::string& path = file.write(c.bytes);
    for (ReadOptions options : {ReadOptions{1, 4u << 20, c.max_line}, ReadOptions{2, 1, c.max_line},
                                ReadOptions{3, 50, c.max_line}}) {
        Outcome o = read(path, options);
        EXPECT_EQ(o.panic, c.panic) << options.threads << " threads, batch " << options.batch_bytes;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LimitTest,
    ::testing::Values(
        LimitCase{"at_the_limit", kLine + "\n" + kLine + "\n", 82, ""},
        LimitCase{"at_the_limit_with_crlf", kLine + "\r\n" + kLine + "\r\n", 82, ""},
        LimitCase{"at_the_limit_unterminated", kLine + "\n" + kLine, 82, ""},
        LimitCase{"one_byte_over", kLine + "\n" + kLine + " \n" + kLine + "\n", 82, long_line_message(2, 82)},
        LimitCase{"final_cr_counts_without_lf", kLine + "\n" + kLine + "\r", 82, long_line_message(2, 82)},
        LimitCase{"no_line_end", kLine + "\n" + kLine + "\n" + std::string(5000, ' '), 82, long_line_message(3, 82)},
        LimitCase{"earlier_failure_wins", "[1]\n" + std::string(5000, ' '), 82,
                  unwrap_message(R"(Error("invalid length 1, expected struct LineKelvra with 2 elements", line: 1, column: 3))")},
        LimitCase{"limit_in_mib", std::string((1u << 20) + 1, ' '), 1u << 20, long_line_message(1, 1u << 20)}),
    [](const auto& info) { return std::string(info.param.name); });

// Caps the address space at what is mapped now plus `extra` while in scope:
// a reader that does not stop then fails to allocate instead of taking the
// machine's memory.
class AddressSpaceCap {
public:
    explicit AddressSpaceCap(std::size_t extra) {
        getrlimit(RLIMIT_AS, &saved_);
        std::size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlimit cap = saved_;
        cap.rlim_cur = std::min<rlim_t>(saved_.rlim_max, pages * sysconf(_SC_PAGESIZE) + extra);
        setrlimit(RLIMIT_AS, &cap);
    }
    ~AddressSpaceCap() { setrlimit(RLIMIT_AS, &saved_); }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;

private:
    rlimit saved_{};
};

// A file that never ends a line stops at the limit.
TEST(LongestLine, EndlessFile) {
    if (access("/dev/zero", R_OK) != 0) GTEST_SKIP() << "no /dev/zero";
    AddressSpaceCap cap(std::size_t{1} << 30);
    Outcome o = read("/dev/zero", {2, 1u << 16, 1u << 24});
    EXPECT_EQ(o.panic, long_line_message(1, 1u << 24));
}

}  // namespace
}  // namespace orvelle
