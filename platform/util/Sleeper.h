#pragma once
// Every wait in the product goes through one Sleeper, so tests can count and skip the time
// instead of sleeping. The process-wide sleeper is real (nanosleep, resumed after signals)
// unless a test installs another one.
#include <memory>

#include "platform/util/Export.h"

namespace platform {

class AZT_API Sleeper {
public:
    virtual ~Sleeper() = default;
    // Blocks the calling thread for `milliseconds`; the whole interval always passes.
    virtual void sleepMs(unsigned long long milliseconds) = 0;
};

// The sleeper everything uses. Thread-safe to read; install a replacement only while no other
// thread is sleeping through it (tests do it in their set-up).
AZT_API Sleeper& sleeper();
// Installs `replacement` (nullptr restores the real sleeper). Returns the previous override.
AZT_API std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement);

}  // namespace platform
