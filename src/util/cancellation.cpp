#include "util/cancellation.hpp"

#include <utility>

namespace orvelle {

namespace {

struct Current {
    Cancellation* token = nullptr;
    bool owner = false;
};
thread_local Current t_current;

}  // namespace

Cancellation::Cancellation(Poll poll, std::chrono::nanoseconds interval) { set_poll(std::move(poll), interval); }

void Cancellation::set_poll(Poll poll, std::chrono::nanoseconds interval) {
    poll_ = std::move(poll);
    interval_ = interval;
    next_poll_ = std::chrono::steady_clock::now() + interval;
}

bool Cancellation::poll_now() noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_poll_) return false;
    bool stop;
    try {
        stop = poll_();
    } catch (...) {
        stop = true;  // a poll that cannot answer stops the work rather than hiding its failure
    }
    // From after the poll: time spent in it (waiting for the host) is not work.
    next_poll_ = std::chrono::steady_clock::now() + interval_;
    if (stop) cancel();
    return stop;
}

CancelScope::CancelScope(Cancellation* token, bool owner) noexcept
    : saved_token_(t_current.token), saved_owner_(t_current.owner) {
    t_current = {token, owner && token != nullptr};
}

CancelScope::~CancelScope() { t_current = {saved_token_, saved_owner_}; }

Cancellation* current_cancellation() noexcept { return t_current.token; }

bool stop_requested() noexcept {
    Cancellation* token = t_current.token;
    if (token == nullptr) return false;
    if (token->cancelled()) return true;
    return t_current.owner && token->poll_ && token->poll_now();
}

void checkpoint() {
    if (stop_requested()) throw Interrupted();
}

void checkpoint_after_eintr() {
    if (Cancellation* token = t_current.token; token && t_current.owner)
        token->next_poll_ = std::chrono::steady_clock::time_point::min();
    checkpoint();
}

void throw_if_cancelled() {
    const Cancellation* token = t_current.token;
    if (token != nullptr && token->cancelled()) throw Interrupted();
}

}  // namespace orvelle
