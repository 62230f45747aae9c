// One look for every progress bar of the system, drawn on standard error:
//   [{prefix:>!20}] {bar:40} {percent}% {binary_bytes_per_sec} [{elapsed_precise}]
// A disabled bar draws nothing and costs one branch per call. An enabled bar
// draws only when standard error is a terminal, at most about 20 times a
// second, so a tight loop of inc(1) stays cheap.
//
// One bar draws at a time in the process: a bar made while another is drawing
// (an analysis on another thread) stays silent, so concurrent analyses never
// mix their lines. A drawn bar left unfinished (the work failed or was
// interrupted) clears its line when it goes, so what follows starts on a
// clean line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace orvelle {

class ProgressBar {
public:
    ProgressBar(std::uint64_t len, std::string_view prefix, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void inc(std::uint64_t delta) {
        if (!enabled_) return;
        pos_ += delta;
        if (drawn_ && pos_ >= next_check_) tick();
    }
    void finish();

    bool enabled() const { return enabled_; }
    std::uint64_t position() const { return pos_; }
    std::uint64_t length() const { return len_; }

    // The line as it would be drawn, without colour codes or padding; for
    // tests and for the renderer itself.
    struct Frame {
        std::string_view prefix;
        std::uint64_t pos, len;
        double elapsed_seconds;
        bool colour;
    };
    static std::string render(const Frame& frame);

private:
    void tick();
    void draw();

    std::uint64_t len_;
    std::uint64_t pos_ = 0;
    std::uint64_t next_check_ = 0;
    std::string prefix_;
    bool enabled_;
    bool drawn_ = false;  // enabled, standard error is a terminal, and no other bar draws
    bool colour_ = false;
    bool finished_ = false;
    unsigned draws_ = 0;
    double budget_ = 4.0;
    std::chrono::steady_clock::time_point start_, last_refill_;
};

// A step that advances no bar (the decomposition), shown as one line with
// its elapsed time so that a long one is not minutes of silence:
//   [{prefix:>!20.green}] {text} [{elapsed_precise}]
// Off unless switched on for the process (the command line does so); off, a
// line costs nothing and draws nothing. On, it draws once its step has run
// the given time (at once for 0), then a thread of its own keeps the time:
// on a terminal the line is redrawn in place every second, elsewhere it is
// written as a line of its own every 15 s. A step that completes ends it
// with "{text} done"; one that ends by an exception (a failure, or a stop on
// request) clears it from a terminal, like an unfinished bar. It takes its
// turn with the bars: one draws at a time, and while another draws it waits.
class ElapsedLine {
public:
    ElapsedLine(std::string_view prefix, std::string text);
    ElapsedLine(const ElapsedLine&) = delete;
    ElapsedLine& operator=(const ElapsedLine&) = delete;
    ~ElapsedLine();

    // Lines made from now on draw once their step has run after_seconds; a
    // negative value switches them off.
    static void show_after(double after_seconds);

    // The line as drawn, without padding.
    static std::string render(std::string_view prefix, std::string_view text, double elapsed_seconds, bool colour);

private:
    void keep_time(double after_seconds);
    void draw(const std::string& text);
    void end(bool failed);

    std::string prefix_, text_;
    int exceptions_;
    bool terminal_ = false, colour_ = false;
    bool holding_ = false;  // this line has the turn to draw
    unsigned draws_ = 0;
    std::chrono::steady_clock::time_point start_;
    bool done_ = false, failed_ = false;  // set by the caller, under mutex_
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace orvelle
