#pragma once
// A job event: raised with a severity, an event id and a job id, recorded as one row of the
// catalog's events with the text of the arguments added before it (joined by single blanks).
// The text is scrubbed by the runtime's debug log (access keys, signatures, registered secrets)
// before it is stored, so a key never reaches an event.
//
// Each raise uses the arguments added since the previous one. One thread at a time per object;
// the runtime must outlive it. A raise that cannot be recorded returns non-zero (1627, or 1168
// when there is no catalog) and writes the reason to the debug log; nothing is stored then.
#include <string>
#include <vector>

#include "platform/runtime/Runtime.h"
#include "platform/util/Export.h"

class AZT_API EvEvent {
public:
    // The argument type of plain text.
    static constexpr int TextArgument = 11;

    explicit EvEvent(platform::Runtime& runtime = platform::defaultRuntime());

    void addArgument(int type, const std::string& text);
    // 0 once recorded.
    int MinorEvent(unsigned long eventId, long long jobId, int flags);
    int MajorEvent(unsigned long eventId, long long jobId, int flags);
    int CriticalEvent(unsigned long eventId, long long jobId, int flags);

private:
    int raise(int severity, unsigned long eventId, long long jobId);

    platform::Runtime& m_runtime;
    std::vector<std::string> m_arguments;
};
