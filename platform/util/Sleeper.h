#pragma once
// Every wait in the product goes through a Sleeper, and every measure of elapsed time reads its
// clock, so tests can count and skip the time instead of sleeping. Each platform::Runtime has
// one (real unless a test installs another); the free functions below reach the default
// runtime's.
#include <memory>

#include "platform/util/Export.h"

namespace platform {

class StopToken;

class AZT_API Sleeper {
public:
    virtual ~Sleeper() = default;
    // Blocks the calling thread for `milliseconds`. The whole interval passes (signals do not
    // cut it short) unless a stop is requested on the runtime's token: then the sleep may end
    // early, within about 100 ms of the request. Callers check the token after sleeping.
    virtual void sleepMs(unsigned long long milliseconds) = 0;
    // Milliseconds on a steady clock with an arbitrary origin; only differences mean anything.
    virtual unsigned long long nowMs();
};

// The real sleeper: nanosleep in short slices, ending early once `stop` is requested. The token
// must outlive it. Any thread.
class AZT_API SystemSleeper : public Sleeper {
public:
    explicit SystemSleeper(const StopToken& stop) : m_stop(stop) {}
    void sleepMs(unsigned long long milliseconds) override;

private:
    const StopToken& m_stop;
};

// The default runtime's sleeper (platform::defaultRuntime().sleeper()).
AZT_API Sleeper& sleeper();
// Installs `replacement` in the default runtime (nullptr restores the real sleeper). Returns the
// previous override.
AZT_API std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement);

}  // namespace platform
