#include "platform/util/Sleeper.h"

#include <cerrno>
#include <ctime>
#include <mutex>

namespace platform {
namespace {

class RealSleeper : public Sleeper {
public:
    void sleepMs(unsigned long long milliseconds) override {
        timespec remaining{static_cast<time_t>(milliseconds / 1000),
                           static_cast<long>((milliseconds % 1000) * 1000000ULL)};
        // A signal cuts nanosleep short; resume with what is left so the interval always passes.
        while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
        }
    }
};

std::mutex g_mutex;
std::shared_ptr<Sleeper> g_override;

}  // namespace

Sleeper& sleeper() {
    static RealSleeper real;
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_override ? *g_override : static_cast<Sleeper&>(real);
}

std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::swap(g_override, replacement);
    return replacement;
}

}  // namespace platform
