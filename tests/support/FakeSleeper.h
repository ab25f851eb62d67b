#pragma once
// Records every sleep instead of sleeping. Installed for the lifetime of the object.
#include <memory>
#include <mutex>
#include <vector>

#include "platform/util/Sleeper.h"

namespace testing_support {

class RecordingSleeper : public platform::Sleeper {
public:
    void sleepMs(unsigned long long milliseconds) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sleeps.push_back(milliseconds);
    }
    std::vector<unsigned long long> sleeps() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sleeps;
    }
    unsigned long long total() const {
        unsigned long long sum = 0;
        for (auto s : sleeps()) sum += s;
        return sum;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<unsigned long long> m_sleeps;
};

class FakeSleeperScope {
public:
    FakeSleeperScope() : m_sleeper(std::make_shared<RecordingSleeper>()) { platform::setSleeper(m_sleeper); }
    ~FakeSleeperScope() { platform::setSleeper(nullptr); }
    RecordingSleeper& operator*() { return *m_sleeper; }
    RecordingSleeper* operator->() { return m_sleeper.get(); }

private:
    std::shared_ptr<RecordingSleeper> m_sleeper;
};

}  // namespace testing_support
