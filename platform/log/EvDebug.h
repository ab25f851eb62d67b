#pragma once
// Function-tagged debug and error lines of one object, written through a runtime's process log
// writer: Debug at level 3, Error at level -1. Owns nothing but the runtime reference; the
// runtime must outlive it. Any thread.
#include "platform/util/Export.h"

namespace platform {
class Runtime;
}

class AZT_API EvDebug {
public:
    // On the default runtime ("no file instance": lines go to the runtime's debug log).
    EvDebug();
    explicit EvDebug(platform::Runtime& runtime);

    void Debug(const char* functionName, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Error(const char* functionName, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void setRuntime(platform::Runtime& runtime) { m_runtime = &runtime; }

private:
    platform::Runtime* m_runtime;
};
