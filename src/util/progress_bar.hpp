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
#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace orvelle
