#pragma once
// The environment of one backup being restored: one table's backup folder in the store (see
// BackupFormat.h). Its name is the folder path, which messages quote.
//
//   createInput             the entity lines of every chunk the manifest lists, in order (read
//                           with BackupReader). Each chunk is checked against its recorded size,
//                           line count and CRC-32C before any of its lines is handed out (after
//                           verify(), by the checksums of its segments verify() recorded); a
//                           damaged, changed or missing chunk, or a backup that did not finish,
//                           fails the input (error() true, getLine false after the sound chunks
//                           before it) and is never replayed.
//   createDescriptionInput  description.json as the backup wrote it.
//   createMetadataInput     metadata.json.
//
// From open() (or the first input) until it is destroyed the environment holds a shared lock on
// the folder's backup.lock: a backup cannot write into the folder meanwhile (open fails at once,
// naming the writer's process id, while one does), other restores may read it too. A folder
// where the lock file cannot be created (read-only media) is read without the lock.
//
// verify() checks the whole backup before a restore changes anything; call it on every folder
// of a restore chain first.
//
// A restore environment has no outputs (createOutput and createDescriptionOutput return null).
// The data input reads the backup on the thread that reads the input (one thread at a time; its
// error() may be asked from any), a segment at a time into one buffer: the replay's lanes hold
// the lines read ahead of what is written.
// Files and log lines go through the environment's runtime (IdaEnvironment::runtime()).
// Log lines go to the runtime's debug log (tagged with the folder) and to an optional sink;
// logMessage, reportFailure and linesDelivered may be called from any thread.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ida/IdaEnvironment.h"
#include "platform/store/BackupFormat.h"
#include "platform/store/BackupReader.h"
#include "platform/runtime/Runtime.h"
#include "platform/store/FileSystem.h"
#include "platform/util/Export.h"
#include "platform/util/Status.h"

namespace platform {
namespace store {

class AZT_API RestoreEnvironment : public IdaEnvironment {
public:
    using LogSink = std::function<void(const std::string& environment, const char* functionName,
                                       const std::string& message)>;

    // `folder` is the backup folder of one table; `fs` must outlive the environment and its inputs.
    // On the default runtime.
    explicit RestoreEnvironment(const std::string& folder, FileSystem& fs = defaultRuntime().fileSystem());
    // On `runtime`, with its file system unless `fs` is given.
    RestoreEnvironment(platform::Runtime& runtime, const std::string& folder, FileSystem* fs = nullptr);
    ~RestoreEnvironment() override;

    // Locks the folder (shared) and reads and checks the manifest (its own checksum included).
    // False with `error` set when there is no readable backup or a backup is writing it.
    bool open(std::string& error);
    // The same, with what went wrong as a code: InUse while a backup writes the folder,
    // NotFound when it holds no backup, Damaged when the manifest cannot be read or fails its
    // checksum.
    Status open();
    // The manifest read by open() (empty before).
    const BackupManifest& manifest() const { return m_manifest; }
    // Whether the manifest records checksums of itself, the description and the metadata; false
    // for folders written before they were recorded, whose verification checks less.
    bool hasChecksums() const { return m_manifest.hasChecksums(); }

    // Checks the whole backup without changing anything (BackupReader::verify): that it finished,
    // the manifest's own checksum, description.json and metadata.json, that no data file is
    // missing or unlisted, and every chunk read in full (length, line count, CRC-32C, each line
    // a JSON object), a block at a time. Opens the environment first if needed. False with
    // `error` naming the folder, the file, what is wrong and, where it applies, the byte offset.
    // Runs on the calling thread; verifiedBytes() may be read from any thread meanwhile.
    bool verify(std::string& error);
    // The same, with a code: Refused for a backup that did not finish, Damaged for a failed
    // check, and open()'s codes.
    Status verify();
    // Chunk bytes verify() has checked so far (up to manifest().totalBytes()).
    uint64_t verifiedBytes() const { return m_verifiedBytes.load(std::memory_order_relaxed); }

    void setLogSink(LogSink sink) { m_sink = std::move(sink); }
    // Entity lines handed out by this environment's data inputs so far.
    unsigned long long linesDelivered() const { return m_linesDelivered->load(); }
    void logMessage(const char* functionName, const std::string& message) override;
    // While the runtime's debug log is open at the debug level, or a log sink is set.
    bool logEnabled() const override;
    std::shared_ptr<IdaOutput> createOutput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaOutput> createDescriptionOutput() override;
    std::shared_ptr<IdaInput> createInput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaInput> createMetadataInput() override;
    std::shared_ptr<IdaInput> createDescriptionInput() override;

private:
    std::shared_ptr<IdaInput> fileInput(bool metadata);
    // Takes the shared lock unless held or found unavailable; false (error set) while a backup
    // writes the folder.
    bool lock(std::string& error);
    // Ok (locked, or readable without a lock), NotFound (no manifest: nothing to lock) or InUse.
    Status::Code lockStatus(std::string& error);

    std::string m_folder;
    FileSystem& m_fs;
    std::mutex m_lockMutex;  // guards the three members below
    std::unique_ptr<FileLock> m_lock;
    bool m_lockUnavailable = false;
    // What the last successful verify() found: 4 bytes per 256 KiB of chunk (BackupReader::kSegmentBytes).
    std::vector<ChunkSegments> m_segments;
    std::atomic<uint64_t> m_verifiedBytes{0};
    bool m_opened = false;
    BackupManifest m_manifest;
    LogSink m_sink;
    std::shared_ptr<std::atomic<unsigned long long>> m_linesDelivered;
};

}  // namespace store
}  // namespace platform
