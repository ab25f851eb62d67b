#include "platform/util/Sleeper.h"

#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/runtime/Runtime.h"
#include "platform/util/StopToken.h"

namespace platform {

unsigned long long Sleeper::nowMs() {
    return static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

namespace {

// A stop is noticed between slices: a signal handler may only set a flag, it cannot wake a
// sleeper waiting on a condition.
constexpr unsigned long long kSliceMs = 50;

}  // namespace

void SystemSleeper::sleepMs(unsigned long long milliseconds) {
    while (milliseconds > 0 && !m_stop.stopRequested()) {
        unsigned long long slice = milliseconds < kSliceMs ? milliseconds : kSliceMs;
        timespec remaining{static_cast<time_t>(slice / 1000), static_cast<long>((slice % 1000) * 1000000ULL)};
        // A signal cuts nanosleep short; resume with what is left so the slice always passes.
        while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
            if (m_stop.stopRequested()) return;
        }
        milliseconds -= slice;
    }
}

Sleeper& sleeper() { return defaultRuntime().sleeper(); }

std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement) {
    return defaultRuntime().setSleeper(std::move(replacement));
}

}  // namespace platform
