#pragma once
// One table's backup into a folder of the backup store, the way the controller runs it: the
// scan runs in an AzureBufferedBackup on the calling (producer) thread while a store consumer
// thread drains the buffer into chunk files, so fetching pages and writing them overlap.
//
// Ownership: the job owns its environment, buffered output and consumer for its lifetime.
// Threads: run() on one thread; requestStop() from any thread or a signal handler; progress()
// counters from any thread once run() has opened the folder. A stop requested on the job's
// runtime (options.runtime) ends the job as requestStop() does, and cuts a request in flight short.
//
// Bounds: without a user-given upper bound the scan has no upper filter, and the bound recorded
// for the next incremental backup (the manifest's toTime) is the Date of the service's reply to
// the first request, rounded down, minus kBoundMarginSeconds for clock differences between the
// service's nodes. It is pinned when the folder is first claimed and kept on resume; an earlier
// bound only makes the next incremental backup overlap this one, which a replay absorbs. The
// local clock decides nothing.
//
// Key set (options.keySet): listed page by page after the scan, written beside the chunks and
// recorded in the manifest only once whole (BackupJobEnvironment::createKeySetOutput); a failure
// or stop there leaves the backup complete without one, and the next run lists the keys again.
//
// Failure: run() reports why in `message`; a failed reply of the service is kept whole in
// serviceError() for the caller to put into words. The table is described before the folder is
// touched, so a missing table or a refused key leaves no folder behind. After that the folder
// holds the last durable page, from which running the same job again resumes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backup/AzureTableBackup.h"
#include "platform/store/BackupJobEnvironment.h"
#include "platform/util/Export.h"
#include "platform/util/Status.h"

struct AZT_API AzureTableBackupJobOptions {
    std::string folder;
    std::string table;
    bool incremental = false;
    long long fromTime = 0;  // exclusive lower bound; 0 = none
    // Inclusive upper bound chosen by the user; 0 = none: the scan then has no upper filter (it
    // holds every entity that exists when it passes it) and the recorded bound comes from the
    // service's clock (see run()).
    long long toTime = 0;
    // Without a user bound: the bound to record for the next incremental backup instead of the
    // service's clock at this table's start (a job of many tables records one for all of them).
    // The scan still has no upper filter. 0 = take the service's clock.
    long long recordedToTime = 0;
    uint64_t chunkSizeBytes = platform::store::kDefaultChunkSize;
    // Once the scan is complete, also store the table's key set (a keys-only listing, taken
    // after the scan) so a restore can leave out what was deleted since; a complete folder
    // without one gets it on the next run.
    bool keySet = false;
    size_t bufferCapacity = IdaBufferedOutput::kDefaultCapacity;
    platform::store::CommitPolicy commitPolicy;
    platform::store::FileSystem* fileSystem = nullptr;  // null = the runtime's
    // What the job runs on (transport, clocks, sleeps and stop token, files, debug log), handed to
    // every environment it makes; null = the default runtime. Must outlive the job.
    platform::Runtime* runtime = nullptr;
    // Runs on the consumer thread after every page this run has stored.
    std::function<void(uint64_t pagesThisRun, platform::store::BackupDataOutput& data)> onPage;
};

// What a backup job did, for the controller to print.
struct AZT_API AzureTableBackupJobResult {
    std::string account, table, folder;
    bool incremental = false;
    bool alreadyComplete = false;  // the folder held this backup, finished: nothing was done
    bool resumed = false;          // this run carried on a backup an earlier run began
    long long fromTime = 0;        // the bounds the manifest records (0 = none)
    long long toTime = 0;          // where the next incremental backup starts (its --since)
    bool bounded = false;          // false: toTime is the service's clock at the start, less a margin
    unsigned long long entities = 0, bytes = 0, pages = 0, chunks = 0;  // the whole backup, all runs
    unsigned long long entitiesThisRun = 0, bytesThisRun = 0;
    bool pagesStored = false;  // the folder holds durable pages (a failed run resumes from them)
    bool keySet = false;           // the backup holds a key set
    unsigned long long keys = 0;   // its lines
    double seconds = 0;
    std::string serviceError;  // the reply body behind a failure, "" when it was no reply
};

class AZT_API AzureTableBackupJob {
public:
    enum class Result {
        Complete,         // every entity is stored durably and the backup is marked complete
        AlreadyComplete,  // the folder held this backup, finished: nothing was done
        Stopped,          // stopped at a page boundary on request; running again resumes
        Failed,           // see the message; running again resumes from the last durable page
        Refused,          // the folder holds something else; nothing was changed
    };

    AzureTableBackupJob(AzureTableCredentials credentials, AzureTableBackupJobOptions options);
    ~AzureTableBackupJob();

    static constexpr long long kBoundMarginSeconds = 10;

    Result run(std::string& message);
    // The same run, its outcome as a status (Complete and AlreadyComplete are Ok, the others
    // Stopped, Failed and Refused) and what it did in `result`.
    platform::Status run(AzureTableBackupJobResult& result);
    // Stops the scan at the next page boundary (the runtime's stop token cuts a request in
    // flight short; the job then ends Stopped with every durable page kept).
    void requestStop();
    platform::Runtime& runtime() const;

    // The body of the service's reply that made run() fail ("" when the failure was not a reply).
    const std::string& serviceError() const { return m_serviceError; }
    // The service's clock at the first reply of this run (seconds since 1970; 0 = no Date seen).
    long long serviceTime() const { return m_serviceTime; }
    // Null until run() has opened the folder.
    const platform::store::BackupProgress* progress() const { return m_progress.load(); }
    // Keys the key listing has stored so far (any thread).
    unsigned long long keysListed() const { return m_keysListed.load(); }
    // The environment run() used (null before): its manifest tells the bounds actually used.
    const platform::store::BackupJobEnvironment* environment() const { return m_environment.get(); }

private:
    bool stopping() const;
    // The key listing into the complete backup's folder: Complete, Stopped or Failed.
    Result storeKeySet(std::string& message);

    AzureTableCredentials m_credentials;
    AzureTableBackupJobOptions m_options;
    std::unique_ptr<platform::store::BackupJobEnvironment> m_environment;
    AzureBufferedBackup m_output;
    std::atomic<const platform::store::BackupProgress*> m_progress{nullptr};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<unsigned long long> m_keysListed{0};
    std::string m_serviceError;
    long long m_serviceTime = 0;
};
