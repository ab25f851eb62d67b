#pragma once
// A runtime's stop request: set once (from a signal handler, a controller thread or a test),
// read by every loop that waits or retries on that runtime (platform::Runtime::stopToken()). The
// transport starts no new attempt once it is set, the real sleeper wakes within a fraction of a
// second, and a transfer in flight is abandoned.
//
// requestStop() is async-signal-safe (one lock-free atomic store) and may be called from any
// thread; stopRequested() is a lock-free load. Nothing is undone by a stop: work already
// written stays written, and the caller decides what to report.
#include <atomic>

#include "platform/util/Export.h"

namespace platform {

class AZT_API StopToken {
public:
    void requestStop() noexcept { m_stop.store(true, std::memory_order_relaxed); }
    bool stopRequested() const noexcept { return m_stop.load(std::memory_order_relaxed); }
    // Forgets a stop request (tests, or a process that starts a new job after a stop).
    void reset() noexcept { m_stop.store(false, std::memory_order_relaxed); }

private:
    static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler needs a lock-free flag");
    std::atomic<bool> m_stop{false};
};

// The default runtime's stop token (platform::defaultRuntime().stopToken()).
AZT_API StopToken& stopToken();

}  // namespace platform
