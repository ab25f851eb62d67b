#pragma once
// A recursive lock shared between the two sides of a buffered stream (producer and consumer).
#include <mutex>

#include "platform/util/Export.h"

class AZT_API KxCriticalSectionH {
public:
    KxCriticalSectionH() = default;
    KxCriticalSectionH(const KxCriticalSectionH&) = delete;
    KxCriticalSectionH& operator=(const KxCriticalSectionH&) = delete;

    // wait = true blocks until the lock is held and returns true; wait = false only tries.
    bool enter(bool wait = true);
    void leave();

private:
    std::recursive_mutex m_mutex;
};
