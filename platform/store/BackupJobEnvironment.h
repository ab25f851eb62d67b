#pragma once
// The environment of one table's backup into a folder of the backup store (format:
// BackupFormat.h), and the data output that turns pages into chunk files.
//
// Ownership: the environment owns its description and data outputs (handed out as shared
// pointers; the data output is created once and handed out again on later calls), the
// manifest it keeps in memory, and from open() until it is destroyed the exclusive lock on the
// folder's backup.lock (a second writer, or a restore reading the folder, is refused while it is
// held; the system releases it if the process dies). The FileSystem must outlive it. Files,
// clocks and log lines go through the environment's runtime (IdaEnvironment::runtime()).
//
// Threads: logMessage, reportFailure and hasFailed may be called from any thread. The data
// output is used by one thread at a time (the scan itself, or the store consumer draining a
// buffered output); its progress() counters may be read from any thread. The description
// output may be closed on another thread than the data output's.
//
// Durability: page data is appended to the current chunk as it arrives. At a durable point the
// chunk is fsynced first and only then is the manifest replaced (writeFileDurably) with the
// sizes, line counts and checksums up to the last page boundary and that page's restart
// string, so the manifest never names data that is not on disk. Durable points are grouped
// (every N pages, X bytes or T milliseconds, whichever comes first) and always fall on a page
// boundary; a chunk is cut at the first page boundary after it reached the chunk size. A
// resumed backup may redo the pages after the last durable point, never lose or repeat one.
//
// The manifest records the length and CRC-32C of metadata.json (written by open()) and of
// description.json (rewritten by every run; the manifest is replaced right after it, so the
// checksum follows the file actually written).
//
// The key set (a job that tracks deletions) is written only into a complete backup, by the
// output createKeySetOutput() makes: its lines go to a temp file, which close() makes durable,
// renames to keys.jsonl and records in the manifest (length, lines, CRC-32C). Until then the
// manifest names no key set; a run that fails or stops before leaves the backup as it was.
//
// Failure: a failed write, fsync or manifest replacement is logged and reported to the
// environment (reportFailure) and makes the output refuse everything afterwards; the folder then
// holds the last durable state, from which the same backup can be resumed.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ida/IdaEnvironment.h"
#include "platform/ida/IdaOutput.h"
#include "platform/store/BackupFormat.h"
#include "platform/runtime/Runtime.h"
#include "platform/store/FileSystem.h"
#include "platform/util/Export.h"

namespace platform {
namespace store {

constexpr uint64_t kDefaultChunkSize = uint64_t(16) << 20;

// When the data output makes its pages durable.
struct AZT_API CommitPolicy {
    uint64_t pages = 64;                // at the latest after this many pages
    uint64_t bytes = uint64_t(8) << 20;  // or after this many bytes
    unsigned long long milliseconds = 1000;  // or once this long has passed since the last one (0 = no limit)
};

// Counters of one backup, the part stored before this run included.
struct AZT_API BackupProgress {
    std::atomic<uint64_t> pages{0};
    std::atomic<uint64_t> entities{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> durablePages{0};
    std::atomic<uint64_t> sessionBytes{0};     // bytes written by this run
    std::atomic<uint64_t> sessionEntities{0};  // entity lines written by this run
};

class BackupJobEnvironment;

class AZT_API BackupDataOutput : public IdaOutput {
public:
    ~BackupDataOutput() override;

    bool putString(const std::string& text) override;
    bool putBytes(const char* data, size_t size) override;
    // A page boundary: `restart` names where the next page starts ("" after the last page).
    void updateRestart(const std::string& restart) override;
    // Makes everything up to the last page boundary durable now.
    bool flush() override;
    // ":" ends a complete backup (the manifest is marked complete); any other restart string
    // leaves a resumable backup at the last page boundary.
    bool close(const std::string& restart) override;

    // Appends page bytes without a copy into a string (the store consumer's path).
    bool append(const char* data, size_t size);
    // Bytes this run has given the output that are durable (at a page boundary).
    uint64_t durableSessionBytes() const { return m_durableSessionBytes.load(); }
    bool failed() const { return m_failed.load(); }
    const BackupProgress& progress() const { return m_progress; }

private:
    friend class BackupJobEnvironment;
    BackupDataOutput(const std::string& name, BackupJobEnvironment* environment);
    bool openChunk();
    bool commit(bool complete);
    bool fail(const std::string& message);

    BackupJobEnvironment* m_job;
    std::unique_ptr<WritableFile> m_file;
    ChunkInfo m_current;        // the chunk being written, as written so far
    ChunkInfo m_atBoundary;     // the same chunk at the last page boundary
    bool m_haveChunk = false;   // m_current names an open or continued chunk
    bool m_chunkDirty = false;  // bytes written since its last fsync
    std::string m_restart;      // restart string at the last page boundary
    uint64_t m_pages = 0;       // pages in the backup up to the last page boundary
    uint64_t m_sessionBytes = 0, m_sessionBytesAtBoundary = 0;
    uint64_t m_pagesSinceCommit = 0, m_bytesSinceCommit = 0;
    unsigned long long m_lastCommitMs;  // the runtime's monotonic clock
    bool m_closed = false;
    std::atomic<bool> m_failed{false};
    std::atomic<uint64_t> m_durableSessionBytes{0};
    BackupProgress m_progress;
};

class AZT_API BackupJobEnvironment : public IdaEnvironment {
public:
    enum class State {
        Fresh,     // a new backup was started in the folder
        Resume,    // an interrupted backup continues from resumeRestart()
        Complete,  // the folder already holds this backup, finished; nothing was changed
        Refused,   // the folder cannot take this backup, or another process holds it (see the message)
    };

    // `toTime` 0 = no upper bound. `account` and `table` identify the backup: a folder holding
    // another table, account, kind or bounds is refused. On the default runtime.
    BackupJobEnvironment(const std::string& folder, const std::string& account, const std::string& table,
                         bool incremental, long long fromTime, long long toTime,
                         uint64_t chunkSizeBytes = kDefaultChunkSize, FileSystem& fs = defaultRuntime().fileSystem());
    // The same on `runtime`, with its file system unless `fs` is given.
    BackupJobEnvironment(platform::Runtime& runtime, const std::string& folder, const std::string& account,
                         const std::string& table, bool incremental, long long fromTime, long long toTime,
                         uint64_t chunkSizeBytes = kDefaultChunkSize, FileSystem* fs = nullptr);
    ~BackupJobEnvironment() override;

    // Whether the scan has an upper time filter (true, the default) or scans to the end of the
    // table with toTime recording the service's time (false). Set before open(); a folder whose
    // stored value differs is treated like one whose bounds differ.
    void setBounded(bool bounded) { m_manifest.bounded = bounded; }

    // Claims the folder: locks it (Refused at once, naming the holder's process id, while
    // another backup writes it or a restore reads it), then starts a new backup (manifest and
    // metadata.json written durably), prepares to resume an interrupted one (cutting away bytes
    // after its last durable point and chunk files it never listed), or reports a finished one.
    // With `keepStoredUpperBound`, an interrupted or finished backup is matched regardless of
    // the upper bound (and bounded) given and keeps its own. The lock is kept until the
    // environment is destroyed, except after Refused.
    State open(std::string& message, bool keepStoredUpperBound = false);

    // The restart string the scan resumes from ("" for a new backup).
    const std::string& resumeRestart() const { return m_manifest.restart; }
    const BackupManifest& manifest() const { return m_manifest; }
    const std::string& folder() const { return m_folder; }
    long long toTime() const { return m_manifest.toTime; }
    void setCommitPolicy(const CommitPolicy& policy) { m_policy = policy; }

    void logMessage(const char* functionName, const std::string& message) override;
    // While the runtime's debug log is open at the debug level.
    bool logEnabled() const override;
    // The data output of the table (created on the first call, the same one afterwards).
    std::shared_ptr<IdaOutput> createOutput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaOutput> createDescriptionOutput() override;
    // A new output for the key set of the complete backup in the folder (see above); one thread.
    std::shared_ptr<IdaOutput> createKeySetOutput();
    std::shared_ptr<IdaInput> createInput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaInput> createMetadataInput() override;
    std::shared_ptr<IdaInput> createDescriptionInput() override;
    void reportFailure(const std::string& message) override;

    std::shared_ptr<BackupDataOutput> dataOutput();

private:
    friend class BackupDataOutput;
    friend class DescriptionFileOutput;
    friend class KeySetFileOutput;
    std::string pathOf(const std::string& file) const { return m_folder + "/" + file; }
    State claim(std::string& message, bool keepStoredUpperBound);
    bool writeManifest(std::string& error);
    // Records the checksum of the description.json just written and replaces the manifest.
    bool recordDescription(const FileChecksum& sum, std::string& error);
    bool recordKeySet(const ChunkInfo& keys, std::string& error);

    std::string m_folder;
    BackupManifest m_manifest;
    uint64_t m_chunkSize;
    FileSystem& m_fs;
    CommitPolicy m_policy;
    bool m_opened = false;
    std::shared_ptr<BackupDataOutput> m_data;
    std::unique_ptr<FileLock> m_lock;
    std::mutex m_manifestMutex;     // guards the two members below and the manifest file
    FileChecksum m_description;     // of the description.json in the folder
    BackupManifest m_written;       // the manifest last written
};

}  // namespace store
}  // namespace platform
