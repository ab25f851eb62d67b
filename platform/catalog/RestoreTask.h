#pragma once
// A restore job's task as the agent reads it: the options the job was started with (a restore
// job options message, as XML), kept in the catalog under the job's id.
//
// Ownership and threads: refers to its runtime, which must outlive it; one thread at a time.
#include <string>

#include "platform/runtime/Runtime.h"
#include "platform/util/Export.h"

class AZT_API EvTask {
public:
    EvTask(long long jobId, platform::Runtime& runtime) : m_jobId(jobId), m_runtime(runtime) {}
    virtual ~EvTask();

    long long jobId() const { return m_jobId; }
    // The job's options XML. 0, 1168 when the job has none, 1627 when the catalog cannot be read.
    int getXMLOptions(std::string& xml, void* context);
    // Stores the job's options XML (the controller does, before it drives the plug-in). 0 or 1627.
    int setXMLOptions(const std::string& xml);

protected:
    long long m_jobId;
    platform::Runtime& m_runtime;
};

class AZT_API EvRstTask : public EvTask {
public:
    EvRstTask(long long jobId, int, void*, bool, bool, platform::Runtime& runtime = platform::defaultRuntime())
        : EvTask(jobId, runtime) {}
};
