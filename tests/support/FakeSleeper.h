#pragma once
// Records every sleep instead of sleeping, on a virtual clock that moves only by the sleeps and
// by advanceMs() (a fake transport calls it to stand for an exchange that took time). The scopes
// install it in a runtime (the default one unless given) for their lifetime. Thread-safe.
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include "platform/runtime/Runtime.h"

namespace testing_support {

class RecordingSleeper : public platform::Sleeper {
public:
    void sleepMs(unsigned long long milliseconds) override {
        std::unique_lock<std::mutex> l(m_mutex);
        m_sleeps.push_back(milliseconds);
        m_now += milliseconds;
        const size_t count = m_sleeps.size();
        auto onSleep = m_onSleep;
        l.unlock();
        if (onSleep) onSleep(count);
    }
    unsigned long long nowMs() override { std::lock_guard<std::mutex> l(m_mutex); return m_now; }
    void advanceMs(unsigned long long milliseconds) { std::lock_guard<std::mutex> l(m_mutex); m_now += milliseconds; }
    // Runs after every sleep with the number of sleeps so far (e.g. to request a stop).
    void onSleep(std::function<void(size_t)> hook) { std::lock_guard<std::mutex> l(m_mutex); m_onSleep = std::move(hook); }
    std::vector<unsigned long long> sleeps() const { std::lock_guard<std::mutex> l(m_mutex); return m_sleeps; }
    unsigned long long total() const {
        auto all = sleeps();
        return std::accumulate(all.begin(), all.end(), 0ULL);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<unsigned long long> m_sleeps;
    unsigned long long m_now = 1000000;
    std::function<void(size_t)> m_onSleep;
};

class FakeSleeperScope {
public:
    explicit FakeSleeperScope(platform::Runtime& runtime = platform::defaultRuntime()) : m_runtime(runtime) {
        m_runtime.setSleeper(m_sleeper);
    }
    ~FakeSleeperScope() { m_runtime.setSleeper(nullptr); }
    RecordingSleeper& operator*() { return *m_sleeper; }
    RecordingSleeper* operator->() { return m_sleeper.get(); }

private:
    platform::Runtime& m_runtime;
    std::shared_ptr<RecordingSleeper> m_sleeper = std::make_shared<RecordingSleeper>();
};

// Clears a runtime's stop request (the default runtime's unless given) on entry and exit, so a
// test that requests a stop leaves none behind.
class StopTokenScope {
public:
    explicit StopTokenScope(platform::Runtime& runtime = platform::defaultRuntime()) : m_runtime(runtime) {
        m_runtime.stopToken().reset();
    }
    ~StopTokenScope() { m_runtime.stopToken().reset(); }
    void requestStop() { m_runtime.stopToken().requestStop(); }

private:
    platform::Runtime& m_runtime;
};

}  // namespace testing_support
