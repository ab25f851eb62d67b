#pragma once
// The job manager and the index as the agent asks them, over the catalog of a runtime's home
// folder: the jobs of an application, the index archive files of a list of jobs, and the index
// entries (object path -> metadata message text) that a browse of a path finds.
//
// Results: 0 on success; the job list answers 1 when the application has no job; any other
// value is a failure (1168 the application is unknown, 1627 the catalog cannot be read), with
// the reason in words on the runtime's debug log. Nothing here writes to the catalog.
//
// Ownership and threads: each object refers to its runtime, which must outlive it; one thread
// at a time per object.
#include <string>
#include <vector>

#include "platform/runtime/Runtime.h"
#include "platform/util/Export.h"

struct AZT_API GetJobListByAppIdArgs {
    unsigned long appId = 0;
};

// One job of an application (the job id first, as the job manager lists it).
struct AZT_API GetJobListByAppIdRetCC_t {
    long long jobId = 0;
    std::string status;
    long long startTime = 0;
};

struct AZT_API GetArchFileListForJobListArgs {
    unsigned long quorvCellId = 2;
    std::vector<long long> jobIds;
    std::vector<int> fileTypes;  // 2: index archive files (the only type kept)
};

// One index archive file of a job.
struct AZT_API GetArchFileListForJobRetCC_t {
    long long afileId = 0;
    long long jobId = 0;
    unsigned long long backupLevel = 0;   // 1 full, 2 incremental
    unsigned long long creationTime = 0;  // seconds since 1970: the job's reference time
};

class AZT_API ArMgrClientAPI {
public:
    static constexpr int kIndexArchiveFile = 2;

    explicit ArMgrClientAPI(platform::Runtime& runtime = platform::defaultRuntime()) : m_runtime(runtime) {}

    // The jobs of the application (subclient) that finished with every table backed up
    // ("completed"), oldest first. 0, 1 when there is none, else a failure code.
    int getJobListByAppId(const GetJobListByAppIdArgs& args, std::vector<GetJobListByAppIdRetCC_t>& jobs);
    // The index archive files of the jobs (appended). 0, or a failure code.
    int getArchFileListForJobList(const GetArchFileListForJobListArgs& args,
                                  std::vector<GetArchFileListForJobRetCC_t>& files);

private:
    platform::Runtime& m_runtime;
};

struct AZT_API IdxSubclientRequest {
    unsigned int appId = 0;
    unsigned int flags = 0;
    unsigned int timeStamp = 0;  // 0: every job
};

// One entry of an index browse: an object path of one job and the metadata stored with it.
struct AZT_API IdxArchFileEntry {
    std::string path;
    unsigned long long afileId = 0;
    unsigned long long jobId = 0;
    std::vector<std::string> metadata;  // message texts
};

struct AZT_API IdaSpawnProcess {
    int processType = 2;
};

class AZT_API IdaSnapUtilBase {
public:
    IdaSnapUtilBase(int, int, bool, void* jobControl, const char* name, const IdaSpawnProcess& spawn,
                    platform::Runtime& runtime = platform::defaultRuntime());

    void setCopyPrec(int precedence) { m_copyPrecedence = precedence; }
    // The entries stored under each path for the applications of `requests`: a path that names
    // its job (…/F<job>, …/I<job>) finds that job's entry only. 0; 1168 when no path finds an
    // entry; another failure code when the catalog cannot be read.
    int idxGetV2IndexArchFileInfo(const std::string& mediaAgent, const std::string& client, unsigned int quorvCellId,
                                  const std::vector<IdxSubclientRequest>& requests,
                                  const std::vector<std::string>& paths, unsigned int option, unsigned long flags,
                                  int depth, std::vector<IdxArchFileEntry>& entries);

private:
    platform::Runtime& m_runtime;
    int m_copyPrecedence = 0;
};
