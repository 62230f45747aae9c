#include <gtest/gtest.h>
#include <simdjson.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <regex>

#include "test_support.hpp"
#include "terminal_capture.hpp"
#include "util/progress_bar.hpp"

using namespace orvelle;

namespace {
// The reference's final lines without escapes, rate and padding removed.
std::string strip_rate(std::string line) {
    auto pct = line.find("% ");
    auto bracket = line.find(" [", pct);
    line.erase(pct + 2, bracket - pct - 2);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}
}  // namespace

struct BarCase {
    std::uint64_t len, pos;
    const char* prefix;
    const char* expected;
};

class BarRender : public ::testing::TestWithParam<BarCase> {};

TEST_P(BarRender, Line) {
    const BarCase& c = GetParam();
    std::string line = ProgressBar::render({c.prefix, c.pos, c.len, 0.0, false});
    EXPECT_EQ(line, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BarRender,
    ::testing::Values(
        BarCase{1000, 0, "Reading file",
                "[        Reading file] ---------------------------------------- 0% 0B/s [00:00:00]"},
        BarCase{1000, 500, "Reading file",
                "[        Reading file] ####################>------------------- 50% 0B/s [00:00:00]"},
        BarCase{7, 3, "PCA Fit",
                "[             PCA Fit] #################>---------------------- 43% 0B/s [00:00:00]"},
        BarCase{0, 0, "Generating tokens",
                "[   Generating tokens] ######################################## 100% 0B/s [00:00:00]"},
        BarCase{1000, 500, "A prefix longer than twenty columns",
                "[ than twenty columns] ####################>------------------- 50% 0B/s [00:00:00]"},
        BarCase{10, 25, "Generating space",
                "[    Generating space] ######################################## 100% 0B/s [00:00:00]"}));

TEST(BarRender, ColourCodesAsTheReference) {
    std::string line = ProgressBar::render({"PCA Fit", 3, 7, 0.0, true});
    EXPECT_EQ(line,
              "[\x1b[32m             PCA Fit\x1b[0m] \x1b[36m#################>\x1b[34m----------------------"
              "\x1b[0m\x1b[0m 43% 0B/s [00:00:00]");
}

TEST(BarRender, FinalLinesMatchReferenceApartFromRate) {
    simdjson::dom::parser parser;
    auto doc = parser.load(test::shared_dir() + "/golden/indicatif_bar.json");
    for (auto c : doc["cases"].get_array()) {
        std::string final_line(c["final_line_without_escapes"].get_string().value());
        if (final_line.empty()) continue;
        auto args = c["args"].get_array();
        std::uint64_t len = std::stoull(std::string(args.at(0).get_string().value()));
        std::string prefix(args.at(2).get_string().value());
        std::string ours = ProgressBar::render({prefix, len, len, 0.0, false});
        EXPECT_EQ(strip_rate(ours), strip_rate(final_line)) << prefix;
    }
}

TEST(BarRender, RateAndElapsed) {
    std::string line = ProgressBar::render({"x", 1536 * 1024, 1u << 30, 1.0, false});
    EXPECT_NE(line.find(" 0% 1.50 MiB/s [00:00:01]"), std::string::npos) << line;
    line = ProgressBar::render({"x", 500, 1000, 3725.0, false});
    EXPECT_NE(line.find(" 0B/s [01:02:05]"), std::string::npos) << line;  // 0.13 B/s shows as 0B/s
}

TEST(ProgressBar, DisabledBarDrawsNothingAndNeverFails) {
    ProgressBar bar(10, "Generating space", false);
    for (int i = 0; i < 100; ++i) bar.inc(1);
    bar.finish();
    EXPECT_FALSE(bar.enabled());
    EXPECT_EQ(bar.position(), 0u);
}

TEST(ProgressBar, EnabledBarOffTerminalKeepsCount) {
    // Under the test runner standard error is usually a pipe: nothing is drawn.
    ProgressBar bar(1000, "Reading file", true);
    bar.inc(400);
    bar.inc(100);
    EXPECT_EQ(bar.position(), 500u);
    bar.finish();
    EXPECT_EQ(bar.position(), 1000u);
}

// Standard error on a pseudo-terminal: what a user sees.
namespace {
using fixtures::TerminalCapture;

std::size_t count(const std::string& s, const std::string& what) {
    std::size_t n = 0;
    for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}
}  // namespace

TEST(ProgressBar, TerminalDrawsAreRateLimited) {
    TerminalCapture term;
    if (term.master < 0) GTEST_SKIP() << "no pseudo-terminal";
    std::string out;
    auto t0 = std::chrono::steady_clock::now();
    {
        ProgressBar bar(1'000'000, "PCA Fit", true);
        for (int i = 0; i < 1'000'000; ++i) {
            bar.inc(1);
            if (i % 65536 == 0) out += term.drain();  // keep the terminal buffer from filling
        }
        bar.finish();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    out += term.drain();
    std::size_t redraws = count(out, "\r\x1b[2K");
    // A burst of a few draws, then at most 20 a second, plus the final one.
    EXPECT_LE(redraws, 6 + static_cast<std::size_t>(seconds * 20)) << seconds << " s";
    EXPECT_NE(out.find("100%"), std::string::npos);
    EXPECT_NE(out.find("PCA Fit"), std::string::npos);
}

TEST(ProgressBar, DisabledBarWritesNothingOnATerminal) {
    TerminalCapture term;
    if (term.master < 0) GTEST_SKIP() << "no pseudo-terminal";
    {
        ProgressBar bar(10, "Reading file", false);
        bar.inc(5);
        bar.finish();
    }
    EXPECT_EQ(term.drain(), "");
}

// The bytes the reference library writes for the same calls on a 100-column
// terminal: first draw, "\r\x1b[2K" before each redraw, lines padded to the
// terminal's width, colours with TERM=xterm-256color and none with dumb. The
// byte rate differs between runs and is compared by shape only.
namespace {
struct Frame {
    std::size_t columns;  // visible width, padding included
    std::string text;     // rate masked, padding removed
};

std::vector<Frame> frames(const std::string& raw) {
    static const std::regex escape("\x1b\\[[0-9;]*m");
    static const std::regex rate("[0-9]+(\\.[0-9]+)? ?([KMGTPEZY]i)?B/s");
    std::vector<Frame> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t next = raw.find("\r\x1b[2K", start);
        std::string f = raw.substr(start, next == std::string::npos ? std::string::npos : next - start);
        std::string text = std::regex_replace(f, rate, "R");
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out.push_back({std::regex_replace(f, escape, "").size(), text});
        if (next == std::string::npos) break;
        start = next + 5;
    }
    return out;
}

// TERM set as given and the colour switches cleared, for one scope.
struct TermEnv {
    static constexpr const char* kNames[] = {"TERM", "NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE"};
    std::optional<std::string> saved[4];
    explicit TermEnv(const std::string& term) {
        for (int i = 0; i < 4; ++i) {
            if (const char* v = std::getenv(kNames[i])) saved[i] = v;
            unsetenv(kNames[i]);
        }
        setenv("TERM", term.c_str(), 1);
    }
    ~TermEnv() {
        for (int i = 0; i < 4; ++i) {
            if (saved[i]) setenv(kNames[i], saved[i]->c_str(), 1);
            else unsetenv(kNames[i]);
        }
    }
};
}  // namespace

TEST(ProgressBar, TerminalBytesMatchTheReference) {
    simdjson::dom::parser parser;
    auto doc = parser.load(test::shared_dir() + "/golden/indicatif_bar.json");
    int compared = 0;
    for (auto c : doc["cases"].get_array()) {
        std::string raw(c["raw"].get_string().value());
        if (raw.empty()) continue;  // the pipe case: nothing drawn
        auto args = c["args"].get_array();
        std::uint64_t len = std::stoull(std::string(args.at(0).get_string().value()));
        std::uint64_t step = std::stoull(std::string(args.at(1).get_string().value()));
        std::string prefix(args.at(2).get_string().value());
        std::string term_name(c["TERM"].get_string().value());
        TermEnv env(term_name);
        TerminalCapture term(100);
        if (term.master < 0) GTEST_SKIP() << "no pseudo-terminal";
        {
            ProgressBar bar(len, prefix, true);
            if (step > 0) bar.inc(step);
            bar.finish();
        }
        std::vector<Frame> ours = frames(term.drain()), want = frames(raw);
        ASSERT_EQ(ours.size(), want.size()) << prefix << " " << term_name;
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(ours[i].columns, 100u) << prefix << " " << term_name << " frame " << i;
            EXPECT_EQ(ours[i].text, want[i].text) << prefix << " " << term_name << " frame " << i;
        }
        ++compared;
    }
    EXPECT_EQ(compared, 8);
}

TEST(ProgressBar, RedrawsPadToTheTerminalWidthOfTheMoment) {
    TerminalCapture term(100);
    if (term.master < 0) GTEST_SKIP() << "no pseudo-terminal";
    {
        ProgressBar bar(10, "Reading file", true);
        winsize narrower{30, 96, 0, 0};
        ioctl(term.master, TIOCSWINSZ, &narrower);
        bar.inc(5);
        bar.finish();
    }
    std::vector<std::size_t> widths;
    for (const Frame& f : frames(term.drain())) widths.push_back(f.columns);
    EXPECT_EQ(widths, (std::vector<std::size_t>{100, 96, 96}));
}

// Concurrent analyses share one terminal: the bar drawing keeps it, a bar
// made meanwhile stays silent, and the next one after it draws again. A bar
// left unfinished (its work failed or was stopped) clears its line, so what
// follows starts on a clean line.
TEST(ProgressBar, OneDrawsAtATimeAndAnUnfinishedOneClearsItsLine) {
    TerminalCapture term(100);
    if (term.master < 0) GTEST_SKIP() << "no pseudo-terminal";
    {
        ProgressBar first(10, "PCA Fit", true);
        ProgressBar meanwhile(10, "Reading file", true);
        meanwhile.inc(5);
        meanwhile.finish();
        first.inc(5);
    }
    const std::string out = term.drain();
    EXPECT_EQ(out.find("Reading file"), std::string::npos);
    EXPECT_TRUE(out.ends_with("\r\x1b[2K")) << out;
    {
        ProgressBar next(10, "Generating space", true);
        next.finish();
    }
    EXPECT_NE(term.drain().find("Generating space"), std::string::npos);
}

// The decomposition's line (switched on to draw at once): redrawn in place
// on a terminal and in lines of their own elsewhere, ended with "done" when
// the step completes; a step that fails or is stopped clears it from the
// terminal. Off, or while a bar draws, it writes nothing.
TEST(ElapsedLine, ShowsTheStepItsTimeAndHowItEnded) {
    const std::string first = "[       Decomposition] 8 x 8 covariance [00:00:00]";
    const std::string done = "[       Decomposition] 8 x 8 covariance done [00:00:00]";
    const auto padded = [](const std::string& s) { return s + std::string(100 - s.size(), ' '); };
    struct Case {
        bool terminal, on, fails, bar_drawing;
        std::string out;
    };
    for (const Case& c : {
             Case{true, true, false, false, padded(first) + "\r\x1b[2K" + padded(done)},
             Case{true, true, true, false, padded(first) + "\r\x1b[2K"},
             Case{false, true, false, false, first + "\n" + done + "\n"},
             Case{false, true, true, false, first + "\n"},
             Case{true, false, false, false, ""},
             Case{true, true, false, true, ""},
         }) {
        SCOPED_TRACE(::testing::Message() << "terminal " << c.terminal << " on " << c.on << " fails " << c.fails
                                          << " bar " << c.bar_drawing);
        const auto step = [&] {
            try {
                ElapsedLine line("Decomposition", "8 x 8 covariance");
                if (c.fails) throw std::runtime_error("stopped");
            } catch (const std::runtime_error&) {
            }
        };
        ElapsedLine::show_after(c.on ? 0.0 : -1.0);
        std::string out;
        if (c.terminal) {
            TermEnv env("dumb");
            TerminalCapture term(100);
            if (term.master < 0) GTEST_SKIP() << "no pseudo-terminal";
            std::optional<ProgressBar> bar;
            if (c.bar_drawing) bar.emplace(10, "PCA Fit", true);
            term.drain();
            step();
            out = term.drain();
            if (bar) bar->finish();
        } else {
            ::testing::internal::CaptureStderr();
            step();
            out = ::testing::internal::GetCapturedStderr();
        }
        ElapsedLine::show_after(-1.0);
        EXPECT_EQ(out, c.out);
    }
}
