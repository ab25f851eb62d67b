#pragma once
// Every wait in the product goes through one Sleeper, and every measure of elapsed time reads
// its clock, so tests can count and skip the time instead of sleeping. The process-wide sleeper
// is real (nanosleep in short slices, a steady clock) unless a test installs another one.
#include <memory>

#include "platform/util/Export.h"

namespace platform {

class AZT_API Sleeper {
public:
    virtual ~Sleeper() = default;
    // Blocks the calling thread for `milliseconds`. The whole interval passes (signals do not
    // cut it short) unless a stop is requested (platform::stopToken()): then the sleep may end
    // early, within about 100 ms of the request. Callers check the token after sleeping.
    virtual void sleepMs(unsigned long long milliseconds) = 0;
    // Milliseconds on a steady clock with an arbitrary origin; only differences mean anything.
    virtual unsigned long long nowMs();
};

// The sleeper everything uses. Thread-safe to read; install a replacement only while no other
// thread is sleeping through it (tests do it in their set-up).
AZT_API Sleeper& sleeper();
// Installs `replacement` (nullptr restores the real sleeper). Returns the previous override.
AZT_API std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement);

}  // namespace platform
