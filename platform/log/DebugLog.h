#pragma once
// The debug log: one file, one line per message, shared by every thread of the runtime that owns
// it. Every line is scrubbed of secrets (access keys, signatures, Authorization headers) before
// it is written.
//
// A DebugLog belongs to a platform::Runtime (Runtime::log()); the free functions below act on the
// default runtime's log. All members may be called from any thread; a line is written with one
// write() so lines of different threads do not mix. A log that cannot be written drops the line:
// it never stops a job.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/util/Export.h"

namespace platform {
namespace log {

class AZT_API DebugLog {
public:
    // `wallMs` stamps the lines (milliseconds since 1970).
    explicit DebugLog(std::function<long long()> wallMs);
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    // Sets the file that debug lines go to ("" = nowhere). Opened for append, created with 0600.
    void setFile(const std::string& path);
    std::string file() const;
    // Whether a file is open. Cheap (no lock): callers ask it before building a line.
    bool enabled() const;

    // Writes "<time> <pid> <tid> <tag> <function>: <message>" to the file.
    void writeLine(const std::string& tag, const char* functionName, const std::string& message);

    // Replaces every secret the text may hold (AccountKey=..., SharedKey account:signature,
    // Authorization header values, sig= parameters, a signature the service quotes back in an
    // authentication error, and any text registered below) with "***".
    std::string redact(const std::string& text) const;
    // Registers a secret (an access key) that must never be written as it is.
    void registerSecret(const std::string& secret);

    // The level of the process log writer (LogWriter.h): lines of a level above it are not
    // written. -1 errors, 0 information, 2 detail, 3 debug; 2 until set.
    int level() const { return m_level.load(std::memory_order_relaxed); }
    // A file is open and the level is 3 (debug): what per-request detail (request bodies) needs.
    // The log a home keeps for every command stays at 2; --debug-log asks for 3.
    bool debugEnabled() const { return enabled() && level() >= 3; }
    void setLevel(int level) { m_level.store(level, std::memory_order_relaxed); }

private:
    std::function<long long()> m_wallMs;
    mutable std::mutex m_mutex;
    std::string m_path;
    int m_fd = -1;
    std::atomic<bool> m_open{false};  // m_fd >= 0, readable without the lock
    std::vector<std::string> m_secrets;
    std::atomic<int> m_level{2};
};

// The same on the default runtime's log.
AZT_API void setDebugLogFile(const std::string& path);
AZT_API std::string debugLogFile();
AZT_API void writeDebugLine(const std::string& tag, const char* functionName, const std::string& message);
AZT_API std::string redact(const std::string& text);
AZT_API void registerSecret(const std::string& secret);

}  // namespace log
}  // namespace platform
