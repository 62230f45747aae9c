// Stopping long work on request. Whoever starts the work owns a Cancellation
// and makes it current for the work (CancelScope); long loops ask
// stop_requested() at safe points (once per batch, block or step, never in an
// inner loop) and unwind with Interrupted, releasing what they hold on the way.
// The core does not know who asks to stop: its owner may cancel() the token
// from any thread, or give it a poll that the token runs on the owner's
// thread, at most once per interval, to learn whether to stop.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>

namespace orvelle {

// Work stopped on request: not a failure of the work.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

class Cancellation {
public:
    // Returns true when the work should stop. Runs only on the thread that
    // made the token current as its owner.
    using Poll = std::function<bool()>;
    static constexpr std::chrono::milliseconds kPollInterval{100};

    Cancellation() = default;
    explicit Cancellation(Poll poll, std::chrono::nanoseconds interval = kPollInterval);
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    // Sets the poll, before the work starts; the first runs an interval later.
    void set_poll(Poll poll, std::chrono::nanoseconds interval = kPollInterval);

    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

private:
    friend bool stop_requested() noexcept;
    friend void checkpoint_after_eintr();
    bool poll_now() noexcept;

    std::atomic<bool> cancelled_{false};
    Poll poll_;
    std::chrono::nanoseconds interval_{kPollInterval};
    std::chrono::steady_clock::time_point next_poll_{};
};

// Makes `token` (null: none) the calling thread's until the scope ends;
// `owner` lets this thread run the token's poll. Scopes nest.
class CancelScope {
public:
    explicit CancelScope(Cancellation* token, bool owner = true) noexcept;
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    Cancellation* saved_token_;
    bool saved_owner_;
};

// The calling thread's token, or null.
Cancellation* current_cancellation() noexcept;

// Whether the current work should stop: its token is cancelled, or, on the
// owner's thread when the interval has passed, the poll says so (and the
// token is cancelled). False without a token. Cheap: an atomic load, and a
// clock read on the owner's thread.
bool stop_requested() noexcept;

// Throws Interrupted when stop_requested().
void checkpoint();

// For a system call that failed with EINTR: a signal arrived, which may be a
// request to stop, so the poll runs now whatever the interval. Throws
// Interrupted when the work should stop.
void checkpoint_after_eintr();

// Throws Interrupted when the current token is cancelled, without polling:
// for the calling thread once workers that stopped early have joined.
void throw_if_cancelled();

}  // namespace orvelle
