#pragma once
// One table's backup into a folder of the backup store, the way the controller runs it: the
// scan runs in an AzureBufferedBackup on the calling (producer) thread while a store consumer
// thread drains the buffer into chunk files, so fetching pages and writing them overlap.
//
// Ownership: the job owns its environment, buffered output and consumer for its lifetime.
// Threads: run() on one thread; requestStop() from any thread or a signal handler; progress()
// counters from any thread once run() has opened the folder.
//
// Failure: run() reports why in `message`; the folder then holds the last durable page, from
// which running the same job again resumes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backup/AzureTableBackup.h"
#include "platform/store/BackupJobEnvironment.h"
#include "platform/util/Export.h"

struct AZT_API AzureTableBackupJobOptions {
    std::string folder;
    std::string table;
    bool incremental = false;
    long long fromTime = 0;  // exclusive lower bound; 0 = none
    long long toTime = 0;    // inclusive upper bound; 0 = none
    // The upper bound was not chosen by the user: an unfinished backup keeps its own.
    bool keepStoredUpperBound = false;
    uint64_t chunkSizeBytes = platform::store::kDefaultChunkSize;
    size_t bufferCapacity = IdaBufferedOutput::kDefaultCapacity;
    platform::store::CommitPolicy commitPolicy;
    platform::store::FileSystem* fileSystem = nullptr;  // null = the real one
    // Runs on the consumer thread after every page this run has stored.
    std::function<void(uint64_t pagesThisRun, platform::store::BackupDataOutput& data)> onPage;
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

    Result run(std::string& message);
    void requestStop();

    // Null until run() has opened the folder.
    const platform::store::BackupProgress* progress() const { return m_progress.load(); }
    // The environment run() used (null before): its manifest tells the bounds actually used.
    const platform::store::BackupJobEnvironment* environment() const { return m_environment.get(); }

private:
    AzureTableCredentials m_credentials;
    AzureTableBackupJobOptions m_options;
    std::unique_ptr<platform::store::BackupJobEnvironment> m_environment;
    AzureBufferedBackup m_output;
    std::atomic<const platform::store::BackupProgress*> m_progress{nullptr};
};
