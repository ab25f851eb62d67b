#pragma once
// The process log writer: printf-style lines with a level, the writing function's signature and
// its source line, written into a runtime's debug log (so the same scrubbing of keys and
// signatures covers them) when the log's level allows:
//   -1 error, 0 information, 2 detail, 3 debug.
// A line is written when its level is at most DebugLog::level() and a log file is open; the
// text of a line nobody reads is never formatted.
//
// A LogWriter is a handle on a DebugLog (it owns nothing); any thread may use it. The log must
// outlive it. g_ptrLogWriter is the default runtime's writer.
#include <string>

#include "platform/log/DebugLog.h"
#include "platform/util/Export.h"

namespace platform {
class Runtime;
namespace log {

class AZT_API LogWriter {
public:
    enum Level : int { Error = -1, Info = 0, Detail = 2, Debug = 3 };

    explicit LogWriter(DebugLog& log) : m_log(&log) {}
    explicit LogWriter(Runtime& runtime);

    int getLevel() const { return m_log->level(); }
    void setLevel(int level) { m_log->setLevel(level); }
    // True when a line of `level` would be written.
    bool wants(int level) const { return level <= m_log->level() && m_log->enabled(); }
    // Writes "<signature>:<line>" as the function and the formatted text, when wanted.
    void write(int level, const char* signature, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    DebugLog& debugLog() const { return *m_log; }

private:
    DebugLog* m_log;
};

// The tag of a level in a log line ("ERROR", "INFO", "DETAIL", "DEBUG").
AZT_API const char* levelTag(int level);

}  // namespace log
}  // namespace platform

// The default runtime's writer, reached as g_ptrLogWriter->write(...).
struct AZT_API ProcessLogWriter {
    platform::log::LogWriter* operator->() const;
};
AZT_API extern const ProcessLogWriter g_ptrLogWriter;

// Writes one line through `writer` (a LogWriter) with the calling function's signature and
// line; the arguments are evaluated only when the line is wanted.
#define AZT_LOG_LINE(writer, level, ...)                                                   \
    do {                                                                                   \
        if ((writer).wants(level)) (writer).write((level), __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__); \
    } while (0)
