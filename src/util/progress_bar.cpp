#include "util/progress_bar.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>

#include "util/environment.hpp"

namespace orvelle {

namespace {

constexpr int kBarWidth = 40;
constexpr std::size_t kPrefixWidth = 20;
constexpr double kDrawsPerSecond = 20.0;
constexpr double kBurst = 4.0;

bool colours_enabled() {
    const char* force = environment("CLICOLOR_FORCE");
    if (force && std::strcmp(force, "0") != 0) return true;
    const char* clicolor = environment("CLICOLOR");
    if (clicolor && std::strcmp(clicolor, "0") == 0) return false;
    if (environment("NO_COLOR")) return false;
    const char* term = environment("TERM");
    return term && std::strcmp(term, "dumb") != 0;
}

int terminal_width() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// The bar or line that may draw now, if any.
std::atomic<const void*> g_drawing{nullptr};

// When an ElapsedLine draws; below 0: never.
std::atomic<double> g_elapsed_after{-1.0};

void write_stderr(const std::string& s) {
    const char* p = s.data();
    std::size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a broken terminal must not stop an analysis
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Number of code points: the prefixes are narrow text.
std::size_t columns(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// Right-aligned in 20 columns; a longer text keeps its last 20 columns.
std::string fit_prefix(std::string_view s) {
    std::size_t w = columns(s);
    if (w <= kPrefixWidth) return std::string(kPrefixWidth - w, ' ') + std::string(s);
    std::size_t drop = w - kPrefixWidth;
    std::size_t i = 0;
    while (drop > 0) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        --drop;
    }
    return std::string(s.substr(i));
}

std::string binary_rate(double bytes_per_second) {
    static const char* const units[] = {"Ki", "Mi", "Gi", "Ti", "Pi", "Ei", "Zi", "Yi"};
    char buf[64];
    if (!(bytes_per_second >= 1024.0)) {
        std::snprintf(buf, sizeof buf, "%.0fB/s", bytes_per_second > 0 ? bytes_per_second : 0.0);
        return buf;
    }
    double v = bytes_per_second;
    int unit = -1;
    while (v >= 1024.0 && unit < 7) {
        v /= 1024.0;
        ++unit;
    }
    std::snprintf(buf, sizeof buf, "%.2f %sB/s", v, units[unit]);
    return buf;
}

// Padded to the terminal's width of the moment, so that the next output
// starts on a line of its own even after the terminal was resized; a redraw
// first clears the line it replaces.
void draw_on_terminal(std::string line, std::string_view visible, bool redraw) {
    const auto width = static_cast<std::size_t>(terminal_width());
    const std::size_t w = columns(visible);
    if (w < width) line.append(width - w, ' ');
    if (redraw) line.insert(0, "\r\x1b[2K");
    write_stderr(line);
}

// Whole seconds as the bars show them: [hh:mm:ss].
std::string elapsed_precise(double seconds) {
    const auto secs = static_cast<unsigned long long>(seconds > 0 ? seconds : 0);
    char buf[48];
    std::snprintf(buf, sizeof buf, "[%02llu:%02llu:%02llu]", secs / 3600, secs / 60 % 60, secs % 60);
    return buf;
}

}  // namespace

std::string ProgressBar::render(const Frame& f) {
    float fraction = f.len == 0 ? 1.0f
                                : std::fmin(static_cast<float>(f.pos) / static_cast<float>(f.len), 1.0f);
    float fill = fraction * static_cast<float>(kBarWidth);
    int full = static_cast<int>(fill);
    int head = (fill > 0.0f && full < kBarWidth) ? 1 : 0;

    std::string line = "[";
    if (f.colour) line += "\x1b[32m";
    line += fit_prefix(f.prefix);
    if (f.colour) line += "\x1b[0m";
    line += "] ";
    if (f.colour) line += "\x1b[36m";
    line.append(static_cast<std::size_t>(full), '#');
    if (head) line += '>';
    if (f.colour) line += "\x1b[34m";
    line.append(static_cast<std::size_t>(kBarWidth - full - head), '-');
    if (f.colour) line += "\x1b[0m\x1b[0m";

    char buf[96];
    double rate = f.elapsed_seconds > 0 ? static_cast<double>(f.pos) / f.elapsed_seconds : 0.0;
    std::snprintf(buf, sizeof buf, " %.0f%% %s ", static_cast<double>(std::nearbyint(fraction * 100.0f)),
                  binary_rate(rate).c_str());
    line += buf;
    line += elapsed_precise(f.elapsed_seconds);
    return line;
}

ProgressBar::ProgressBar(std::uint64_t len, std::string_view prefix, bool enabled)
    : len_(len), prefix_(prefix), enabled_(enabled) {
    if (!enabled_ || !isatty(STDERR_FILENO)) return;
    const void* none = nullptr;
    if (!g_drawing.compare_exchange_strong(none, this)) return;
    drawn_ = true;
    colour_ = colours_enabled();
    start_ = last_refill_ = std::chrono::steady_clock::now();
    draw();
}

void ProgressBar::tick() {
    auto now = std::chrono::steady_clock::now();
    double since = std::chrono::duration<double>(now - last_refill_).count();
    last_refill_ = now;
    // Leaky bucket: a short burst draws at once, then at most 20 a second.
    budget_ = std::fmin(kBurst, budget_ + since * kDrawsPerSecond);
    if (budget_ >= 1.0) {
        draw();
    }
    // Read the clock again after about a thousandth of the bar, or the next step.
    std::uint64_t step = len_ / 1000;
    next_check_ = pos_ + (step > 0 ? step : 1);
}

void ProgressBar::draw() {
    auto now = std::chrono::steady_clock::now();
    double elapsed = std::chrono::duration<double>(now - start_).count();
    draw_on_terminal(render({prefix_, pos_, len_, elapsed, colour_}), render({prefix_, pos_, len_, elapsed, false}),
                     draws_ > 0);
    ++draws_;
    budget_ -= 1.0;
}

void ProgressBar::finish() {
    if (!enabled_) return;
    pos_ = len_;
    if (drawn_ && !finished_) {
        draw();
        g_drawing.store(nullptr);
    }
    finished_ = true;
}

ProgressBar::~ProgressBar() {
    if (!drawn_ || finished_) return;
    write_stderr("\r\x1b[2K");
    g_drawing.store(nullptr);
}

void ElapsedLine::show_after(double after_seconds) { g_elapsed_after.store(after_seconds); }

std::string ElapsedLine::render(std::string_view prefix, std::string_view text, double elapsed_seconds,
                                bool colour) {
    std::string line = "[";
    if (colour) line += "\x1b[32m";
    line += fit_prefix(prefix);
    if (colour) line += "\x1b[0m";
    line += "] ";
    line += text;
    line += ' ';
    line += elapsed_precise(elapsed_seconds);
    return line;
}

ElapsedLine::ElapsedLine(std::string_view prefix, std::string text)
    : prefix_(prefix), text_(std::move(text)), exceptions_(std::uncaught_exceptions()) {
    const double after = g_elapsed_after.load();
    if (after < 0.0) return;
    // Decided here, on the caller's thread, which reads the environment the
    // work was given.
    terminal_ = isatty(STDERR_FILENO) == 1;
    colour_ = terminal_ && colours_enabled();
    start_ = std::chrono::steady_clock::now();
    if (after == 0.0) draw(text_);
    try {
        thread_ = std::thread([this, after] {
            try {
                keep_time(after);
            } catch (...) {  // out of memory for a line: the line ends, the step goes on
                if (holding_) g_drawing.store(nullptr);
            }
        });
    } catch (const std::system_error&) {
        // No thread to spare: the step goes on without its line.
        end(true);
    }
}

ElapsedLine::~ElapsedLine() {
    const bool failed = std::uncaught_exceptions() > exceptions_;
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        done_ = true;
        failed_ = failed;
    }
    wake_.notify_one();
    thread_.join();
}

void ElapsedLine::draw(const std::string& text) {
    if (!holding_) {
        const void* none = nullptr;
        holding_ = g_drawing.compare_exchange_strong(none, this);
        if (!holding_) return;  // another bar draws: this line waits for its turn
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (terminal_) {
        draw_on_terminal(render(prefix_, text, elapsed, colour_), render(prefix_, text, elapsed, false), draws_ > 0);
    } else {
        write_stderr(render(prefix_, text, elapsed, false) + "\n");
    }
    ++draws_;
}

void ElapsedLine::end(bool failed) {
    if (!holding_) return;
    if (!failed) draw(text_ + " done");
    else if (terminal_) write_stderr("\r\x1b[2K");
    g_drawing.store(nullptr);
    holding_ = false;
}

void ElapsedLine::keep_time(double after_seconds) {
    std::unique_lock lock(mutex_);
    const auto done = [this] { return done_; };
    const auto every = std::chrono::seconds(terminal_ ? 1 : 15);
    if (draws_ > 0 || !wake_.wait_for(lock, std::chrono::duration<double>(after_seconds), done)) {
        if (draws_ == 0) draw(text_);
        while (!wake_.wait_for(lock, every, done)) draw(text_);
    }
    end(failed_);
}

}  // namespace orvelle
