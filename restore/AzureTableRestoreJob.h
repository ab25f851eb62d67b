#pragma once
// One table's restore from a chain of backup folders, the way the controller runs it: the chain
// is checked (every backup finished, one source table, a full backup first, incremental ones
// after it without a gap), then every byte of every backup is verified against its checksums,
// then the destination is looked at and decided on (created, dropped and re-created, or written
// into as it is), and only then does the runner prepare the destination and replay the backups
// in order.
//
// Ownership: the job owns the restore environments of its folders (and with them their shared
// locks) from run() until it is destroyed.
// Threads: run() on one thread; progress() and requestStop() from any thread (a ticker thread
// reads progress while run() works); onPlanned runs on run()'s thread.
//
// Failure: until onPlanned has been called nothing in the service was changed (a refused or
// damaged chain, a destination that cannot be looked at, a missing destination with
// useExisting). After it, a failed or stopped restore leaves the destination holding the entities
// written so far (result.entitiesWritten); running the same job again is safe, since writing an
// entity twice does no harm.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/runtime/Runtime.h"
#include "platform/store/BackupFormat.h"
#include "platform/store/FileSystem.h"
#include "platform/util/Export.h"
#include "platform/util/Status.h"
#include "table_service/AzureTableCredentials.h"

namespace platform {
namespace store {
class RestoreEnvironment;
}
}  // namespace platform

struct AzureTableRestoreJobResult;

struct AZT_API AzureTableRestoreJobOptions {
    // The backup folders: a full backup first (with useExisting it may be an incremental one),
    // then incremental backups of the same table, oldest first.
    std::vector<std::string> folders;
    std::string table;          // the destination
    bool overwrite = false;     // drop and re-create the destination when it exists
    bool useExisting = false;   // restore into the destination as it is; never create it
    platform::store::FileSystem* fileSystem = nullptr;  // null = the runtime's
    // The runtime the job's environments and clients use (transport, clocks, sleeps, stop
    // token, log); null = the default runtime. Must outlive the job.
    platform::Runtime* runtime = nullptr;
    // Called once, after the chain is verified and the destination decided and before anything
    // in the service changes: `planned` holds the backups, warnings and destination.
    std::function<void(const AzureTableRestoreJobResult& planned)> onPlanned;
};

// What a restore does to its destination table.
enum class AzureTableRestoreDestination {
    Undecided,    // the job ended before it looked at the destination
    Created,      // the table did not exist and is created
    Recreated,    // it existed and is dropped and re-created empty (overwrite)
    WrittenAsIs,  // it exists and is written into as it is
};

// One backup of the chain as its manifest describes it.
struct AZT_API AzureTableRestoreBackup {
    std::string folder;
    bool incremental = false;
    long long fromTime = 0;  // exclusive; 0 = none
    long long toTime = 0;
    unsigned long long entities = 0;
    unsigned long long bytes = 0;
    // False for a folder written before the manifest recorded checksums of itself, the
    // description and the metadata: those files were checked for sense only.
    bool checksums = true;
    // True when it starts before the previous backup ends: the overlap is replayed twice.
    bool overlapsPrevious = false;
};

struct AZT_API AzureTableRestoreJobResult {
    std::string account;  // of the destination
    std::string table;    // the destination
    std::string sourceAccount, sourceTable;  // what the backups hold
    AzureTableRestoreDestination destination = AzureTableRestoreDestination::Undecided;
    std::vector<AzureTableRestoreBackup> backups;  // in chain order (empty when a folder could not be opened)
    std::vector<std::string> warnings;  // in words, e.g. about an overlap between two backups
    unsigned long long totalEntities = 0;    // in all backups
    unsigned long long totalBytes = 0;       // of all chunks
    unsigned long long entitiesWritten = 0;  // confirmed by the service
    bool writingBegan = false;               // false: nothing in the service was changed
    double seconds = 0;                      // the whole run, checks included
    std::string serviceError;  // the reply body behind a failure to look at the destination, else ""
};

// The job's stages, as progress() reports them.
enum class AzureTableRestorePhase { Checking, Verifying, Writing, Done };

struct AZT_API AzureTableRestoreProgress {
    AzureTableRestorePhase phase = AzureTableRestorePhase::Checking;
    unsigned long long verifiedBytes = 0, totalBytes = 0;
    unsigned long long entitiesRead = 0, totalEntities = 0;  // lines handed to the replays so far
    double seconds = 0;                                      // since run() began
};

class AZT_API AzureTableRestoreJob {
public:
    AzureTableRestoreJob(AzureTableCredentials credentials, AzureTableRestoreJobOptions options);
    ~AzureTableRestoreJob();
    AzureTableRestoreJob(const AzureTableRestoreJob&) = delete;
    AzureTableRestoreJob& operator=(const AzureTableRestoreJob&) = delete;

    // Runs the restore. Codes: Ok (every entity of every backup written); NotFound (a folder
    // without a backup, or a missing destination with useExisting); InUse (a backup is writing a
    // folder); Refused (a chain that cannot be a restore of one table); Damaged (a backup failed
    // verification); Failed (the service or a replay failed); Stopped (on request). `result` is
    // filled as far as the job got.
    platform::Status run(AzureTableRestoreJobResult& result);
    // Asks the restore to stop: through the process's stop token, which ends retries, pauses and
    // the request in flight; the job then ends Stopped. Async-signal-safe.
    void requestStop();
    // A snapshot of the job's counters; any thread.
    AzureTableRestoreProgress progress() const;

    // The chain rules on the manifests of `folders` (same order). Refused, naming the folders,
    // when a backup did not finish, holds another table, or is full where an incremental one
    // must be (or the reverse), or when an incremental backup starts after the previous one ends
    // (a gap). An overlap is allowed: its warning is added to `warnings` and the backup's
    // `overlapsPrevious` set in `backups` (filled here from the manifests).
    static platform::Status checkChain(const std::vector<std::string>& folders,
                                       const std::vector<platform::store::BackupManifest>& manifests,
                                       bool useExisting, std::vector<AzureTableRestoreBackup>& backups,
                                       std::vector<std::string>& warnings);

private:
    bool stopped() const;

    AzureTableCredentials m_credentials;
    AzureTableRestoreJobOptions m_options;
    mutable std::mutex m_envMutex;  // guards m_envs while run() fills it
    std::vector<std::unique_ptr<platform::store::RestoreEnvironment>> m_envs;
    std::atomic<int> m_phase{0};
    std::atomic<unsigned long long> m_totalBytes{0}, m_totalEntities{0};
    std::atomic<long long> m_startNs{0};
    std::atomic<bool> m_stopRequested{false};
    platform::Runtime& runtime() const;
};
