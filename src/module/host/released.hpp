// Native work with the interpreter lock released: other Python threads run
// meanwhile, and the signals the interpreter handles still stop the work.
//
// The work runs under a cancellation token (util/cancellation). On the main
// thread, the only one where the interpreter runs signal handlers, the token's
// poll takes the lock back for a moment, at most every 100 ms, and asks
// PyErr_CheckSignals; when a handler raised (KeyboardInterrupt for Ctrl-C),
// the work unwinds with Interrupted, its workers joined and its memory and
// files released, and the call raises the handler's exception. The work also
// reads the environment as it was when the lock was released, since other
// threads may change it meanwhile.
#pragma once

#include <type_traits>
#include <utility>

#include "module/host/errors.hpp"
#include "util/cancellation.hpp"
#include "util/environment.hpp"

namespace orvelle::host {

class Released {
public:
    // Under the lock: a signal already pending raises at once (PythonError).
    Released();
    // Takes the lock back.
    ~Released();
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    Cancellation& token() { return token_; }
    const EnvironmentSnapshot& environment() const { return environment_; }

private:
    bool poll();

    PyThreadState* state_ = nullptr;
    EnvironmentSnapshot environment_;
    Cancellation token_;
};

// Runs work() with the lock released; work must not touch Python objects.
// Whatever it throws arrives with the lock held again. Once a signal handler
// has raised, that exception is the call's, whatever else went wrong after,
// and also when the work completed after the poll that found it.
template <class F>
auto with_lock_released(F&& work) -> decltype(work()) {
    Released released;
    try {
        CancelScope cancel(&released.token());
        EnvironmentScope environment(released.environment());
        if constexpr (std::is_void_v<decltype(work())>) {
            std::forward<F>(work)();
            throw_if_cancelled();
        } else {
            auto result = std::forward<F>(work)();
            throw_if_cancelled();
            return result;
        }
    } catch (...) {
        if (released.token().cancelled()) throw Interrupted();
        throw;
    }
}

}  // namespace orvelle::host
