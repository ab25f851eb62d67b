#pragma once
// Ctrl-C and SIGTERM for long-running commands. The first signal prints `notice`, asks the
// platform's stop token to end retries, pauses and the request in flight, and calls `onStop`
// (which must be async-signal-safe: set atomics only); a second one leaves at once with status
// 130, which the store's write order makes safe. The handlers are restored on destruction.
#include <signal.h>

#include <atomic>
#include <functional>

namespace aztable {

class InterruptGuard {
public:
    InterruptGuard(const char* notice, void (*onStop)());
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // True once a stop was asked for.
    static bool stopRequested();

private:
    struct sigaction m_oldInt {}, m_oldTerm {};
};

}  // namespace aztable
