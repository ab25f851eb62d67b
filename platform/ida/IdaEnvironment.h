#pragma once
// The environment of one backup job, or of one backup being restored: it opens the job's data
// streams, receives its debug log lines and records why the job failed. Implementations must
// allow logMessage/reportFailure/hasFailed from several threads at once.
//
// An environment carries the platform::Runtime that everything working for it uses (transport,
// clocks, sleeps and stop token, files, debug log): the one it was given, else the default
// runtime. Set it before the environment is handed to a client, runner or input; the runtime
// must outlive the environment.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ida/IdaInput.h"
#include "platform/ida/IdaOutput.h"
#include "platform/util/Export.h"

namespace platform {
class Runtime;
}

class AZT_API IdaEnvironment {
public:
    explicit IdaEnvironment(const std::string& name);
    IdaEnvironment(const std::string& name, platform::Runtime& runtime);
    virtual ~IdaEnvironment();

    virtual void logMessage(const char* functionName, const std::string& message) = 0;
    // Whether costly debug lines (a whole request body) are wanted at the moment: a caller skips
    // building them when it is false. True unless the environment knows better; environments on a
    // runtime say true only while its debug log is open at the debug level (DebugLog::debugEnabled).
    virtual bool logEnabled() const { return true; }
    // The data output of one backed-up object (a backup passes the table name and true).
    virtual std::shared_ptr<IdaOutput> createOutput(const std::string& name, bool flag) = 0;
    virtual std::shared_ptr<IdaOutput> createDescriptionOutput() = 0;
    // The data input of one backed-up object (a replay passes the source table name and false).
    virtual std::shared_ptr<IdaInput> createInput(const std::string& name, bool flag) = 0;
    virtual std::shared_ptr<IdaInput> createMetadataInput() = 0;
    virtual std::shared_ptr<IdaInput> createDescriptionInput() = 0;
    // Records the job's failure reason (the first one is kept; later ones are logged only).
    virtual void reportFailure(const std::string& message);
    virtual bool hasFailed();

    const std::string& getName() const { return m_name; }
    platform::Runtime& runtime() const { return *m_runtime; }
    void setRuntime(platform::Runtime& runtime) { m_runtime = &runtime; }
    // The first failure reported, or "" while none was.
    std::string failureMessage() const;
    // Entities that a replay through this environment saw the service confirm as written, so a
    // failed restore can say how far it got. Any thread.
    void countWritten(unsigned long long entities) { m_written.fetch_add(entities, std::memory_order_relaxed); }
    unsigned long long entitiesWritten() const { return m_written.load(std::memory_order_relaxed); }

protected:
    std::string m_name;

private:
    platform::Runtime* m_runtime;
    mutable std::mutex m_failureMutex;
    bool m_failed = false;
    std::string m_failureMessage;
    std::atomic<unsigned long long> m_written{0};
};
