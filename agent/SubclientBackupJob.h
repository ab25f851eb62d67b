#pragma once
// A backup job of one subclient: every table its content names, each into its own folder of the
// backup store (<store>/<cell>/<subclient>/<job>/<account>/<table>/), several at once, recorded
// in the catalog as it goes; and the views of jobs a person reads afterwards.
//
// A subclient that tracks deletions (AzureTableAgentConfig::trackDeletions) has every table's
// backup also store the table's key set, listed after its scan; a table counts as finished only
// once its key set is stored too. The choice is made when the job starts and kept by a resume.
//
// A job has one reference time for all its tables: the service's clock at the job's start less
// AzureTableBackupJob::kBoundMarginSeconds. Incremental tables start from the reference time of
// the subclient's last job that finished every table; the job stores its own as the subclient's
// next start only when every table finished (an account that could not be listed counts as
// unfinished: its tables are unknown). A table the subclient's last complete job did not hold
// has nothing to build on and is backed up whole within an incremental job (its index entry and
// folder say full).
//
// The restart string of a job (JobRecord::restart) has one item "-o <collect>|<offset>" per
// table, collect = the table's place in the job's order plus 1. Offset: 0 = not started,
// -1 = finished, otherwise 1 + the pages the table's folder had stored durably when the job last
// recorded it (at the table's start and end). It tells a resume which tables to leave alone; the
// manifest of each unfinished table's folder says where its scan goes on.
//
// Ownership and threads: run() on one thread; it starts at most `parallel` worker threads, each
// running one table at a time with an environment of its own, and joins them before it returns.
// requestStop() and progress() from any thread (requestStop from a signal handler too, through
// the runtime's stop token). The runtime must outlive the job.
//
// Failure: a table that fails leaves its folder resumable and the other tables going on. While
// the job runs, its process holds an exclusive lock on <home>/jobresults/job-<id>.lock; a job
// the catalog calls "running" whose lock is free was killed and is shown as interrupted. What
// the catalog holds for a job is kept up to date table by table, so a killed job can be resumed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/catalog/Catalog.h"
#include "platform/messages/Messages.h"
#include "platform/util/Export.h"
#include "platform/util/Status.h"

namespace platform {
class Runtime;
}

class AzureTableBackupJob;

namespace AzureTableIDA {

// Job status texts, as the catalog keeps them.
extern AZT_API const char* const kJobRunning;               // "running"
extern AZT_API const char* const kJobCompleted;             // "completed"
extern AZT_API const char* const kJobCompletedWithErrors;   // "completed with errors"
extern AZT_API const char* const kJobFailed;                // "failed"
extern AZT_API const char* const kJobInterrupted;           // "interrupted"

// The tables in `tables`, each account/table pair once (its first place kept).
AZT_API std::vector<App::AzureDBTable> uniqueTables(const std::vector<App::AzureDBTable>& tables);
// The order the tables start in: one table of each account in turn (accounts in the order they
// first appear, each account's tables in their own order), so no account gets all the workers.
AZT_API std::vector<size_t> scheduleOrder(const std::vector<App::AzureDBTable>& tables);
// The restart string of offsets[i] for collect i + 1.
AZT_API std::string jobRestartString(const std::vector<long long>& offsets);
// Offsets back from a restart string for `count` tables (through BackupRestartInfo): -1 for a
// finished table, else the pages stored (0: none, or not started).
AZT_API std::vector<long long> jobRestartOffsets(const std::string& restart, size_t count);

struct AZT_API SubclientBackupOptions {
    enum class Level { Auto, Full, Incremental };

    std::string instance = "default";
    std::string backupSet;  // "": the instance's default set
    std::string subclient;
    Level level = Level::Auto;  // Auto: incremental once the subclient has a reference time
    int parallel = 4;
    long long resumeJob = 0;  // continue this job (the other fields but `parallel` are not used)
    // Runs on a table's store thread after each page that run stored (tests pause here).
    std::function<void(const std::string& account, const std::string& table, uint64_t pagesThisRun)> onPage;
};

// What one table of a job came to.
struct AZT_API JobTableOutcome {
    platform::catalog::JobTableRecord record;  // status, counts, times, failure as recorded
    std::string folder;
    bool skipped = false;  // a resume found it finished already
    long long keys = -1;   // the keys in its key set (a subclient that tracks deletions); -1: none stored by this run
};

struct AZT_API SubclientBackupResult {
    long long jobId = 0;
    long long subclientId = 0;
    std::string subclient;
    bool incremental = false;
    bool levelChanged = false;   // incremental asked, full run: the subclient has no reference time yet
    bool resumed = false;
    long long fromTime = 0;      // incremental tables' lower bound (0: full)
    long long referenceTime = 0;
    bool referenceTimeStored = false;
    std::string status;          // one of the job status texts
    std::string failure;         // why the job is not completed, in words
    std::vector<JobTableOutcome> tables;  // in the job's order
    std::map<std::string, std::string> listingFailures;  // account -> why its tables are unknown
    unsigned long long entities = 0, bytes = 0;
    double seconds = 0;
};

// The whole job's counters, for a progress line.
struct AZT_API SubclientBackupProgress {
    size_t tablesDone = 0, tablesTotal = 0;
    unsigned long long entities = 0, bytes = 0;  // stored by this run
    unsigned long long keys = 0;                 // listed into key sets by this run
};

class AZT_API SubclientBackupJob {
public:
    SubclientBackupJob(platform::Runtime& runtime, SubclientBackupOptions options);
    ~SubclientBackupJob();
    SubclientBackupJob(const SubclientBackupJob&) = delete;
    SubclientBackupJob& operator=(const SubclientBackupJob&) = delete;

    // Ok when the job completed; Failed (completed with errors, or failed), Stopped
    // (interrupted), NotFound or Refused (nothing was run) otherwise. `result` says what each
    // table came to in every case where a job exists.
    platform::Status run(SubclientBackupResult& result);
    void requestStop();
    SubclientBackupProgress progress() const;
    // The job's id once run() created or took it (0 before); any thread.
    long long jobId() const { return m_jobId.load(); }

private:
    struct Table;
    platform::Status prepareNew(SubclientBackupResult& result, std::vector<Table>& tables);
    platform::Status prepareResume(SubclientBackupResult& result, std::vector<Table>& tables);
    void runTables(std::vector<Table>& tables, SubclientBackupResult& result);
    void runTable(Table& table, const SubclientBackupResult& result);
    platform::Status finish(std::vector<Table>& tables, SubclientBackupResult& result);
    platform::Status recordRestart(const std::vector<Table>& tables);
    void event(int severity, const std::string& message);

    platform::Runtime& m_runtime;
    SubclientBackupOptions m_options;
    platform::catalog::Catalog* m_catalog = nullptr;
    platform::catalog::JobRecord m_job;
    int m_lockFd = -1;
    std::atomic<long long> m_jobId{0};
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;  // guards the members below and the tables' running jobs
    std::vector<Table>* m_tables = nullptr;
    unsigned long long m_chunkBytes = 0;
};

// A job as the catalog holds it, with its tables, for `aztable jobs` and `aztable job show`.
struct AZT_API JobSummary {
    platform::catalog::JobRecord job;
    std::string status;  // the recorded status, or "interrupted" for a running job whose process is gone
    std::string subclient;
    std::vector<platform::catalog::JobTableRecord> tables;
};

// The jobs of `subclient` of the instance's set, or of every subclient when it is empty, by id.
AZT_API platform::Status listJobs(platform::Runtime& runtime, const std::string& instance,
                                  const std::string& backupSet, const std::string& subclient,
                                  std::vector<JobSummary>& jobs);
AZT_API platform::Status showJob(platform::Runtime& runtime, long long jobId, JobSummary& out);

}  // namespace AzureTableIDA
