#include "platform/store/BackupJobEnvironment.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ida/RestartPoint.h"
#include "platform/log/DebugLog.h"

namespace platform {
namespace store {
namespace {

std::string describeCoverage(const BackupManifest& m) {
    std::string text = "table '" + m.table + "' of account '" + m.account + "', " +
                       (m.incremental ? "incremental" : "full");
    if (m.fromTime) text += " after " + std::to_string(m.fromTime);
    if (!m.bounded)
        text += " without an upper bound" + (m.toTime ? " (scanned at " + std::to_string(m.toTime) + ")" : "");
    else if (m.toTime)
        text += " up to " + std::to_string(m.toTime);
    return text;
}

std::string describeLockFailure(const std::string& folder, const LockFailure& failure) {
    if (!failure.busy) return "cannot lock " + folder + ": " + failure.error;
    std::string holder = failure.holder ? "process " + std::to_string(failure.holder) : "another process";
    if (failure.readers)
        return folder + " is in use by " + holder + " (a restore is reading it); wait for it to finish";
    return folder + " is in use by " + holder + " (another backup is writing it); wait for it to finish or use "
                    "another folder";
}

// The index of a chunk file name as the backup writes it ("data-000007.jsonl" -> 7), else 0.
unsigned chunkIndexOf(const std::string& name) {
    if (!isDataFileName(name) || name.size() != chunkFileName(1).size()) return 0;
    unsigned index = 0;
    for (size_t i = 5; i < 11; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        index = index * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return index;
}

// Temp files of writeFileDurably left by a run that died before its rename.
bool isStaleTemp(const std::string& name) {
    for (const char* file : {kManifestFile, kDescriptionFile, kMetadataFile, kKeySetFile}) {
        std::string prefix = std::string(file) + ".tmp";
        if (name.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

bool isPagePosition(const std::string& restart) {
    RestartPoint point;
    return RestartPoint::parse(restart, point);
}

bool isEndOfTable(const std::string& restart) {
    RestartPoint point;
    return RestartPoint::parse(restart, point) && point.isEnd();
}

}  // namespace

// The description output keeps its one text in memory and writes it durably on close.
class DescriptionFileOutput : public IdaOutput {
public:
    explicit DescriptionFileOutput(BackupJobEnvironment* job) : IdaOutput(kDescriptionFile, job), m_job(job) {}
    bool putString(const std::string& text) override {
        m_text += text;
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override {
        std::string error;
        // A folder not claimed for writing (or holding a finished backup) keeps its description.
        if (!m_job->m_opened)
            error = "the backup folder was not opened for writing";
        else if (writeFileDurably(m_job->m_fs, m_job->pathOf(kDescriptionFile), m_text, error) &&
                 m_job->recordDescription(FileChecksum::of(m_text), error))
            return true;
        m_job->logMessage("close", error);
        m_job->reportFailure("cannot write " + m_job->pathOf(kDescriptionFile) + ": " + error);
        return false;
    }

private:
    BackupJobEnvironment* m_job;
    std::string m_text;
};

// The key set of a complete backup: lines into keys.jsonl.tmp, renamed into place and recorded
// in the manifest on close(). A run that stops before then leaves no key set (the temp file is
// removed as stale when the folder is next claimed).
class KeySetFileOutput : public IdaOutput {
public:
    explicit KeySetFileOutput(BackupJobEnvironment* job) : IdaOutput(kKeySetFile, job), m_job(job) {
        m_info.file = kKeySetFile;
    }
    bool putString(const std::string& text) override { return putBytes(text.data(), text.size()); }
    bool putBytes(const char* data, size_t size) override {
        if (m_failed) return false;
        std::string error;
        if (!m_file && !(m_file = m_job->m_fs.openTruncate(temp(), error))) return fail(error);
        if (!m_file->append(data, size)) return fail("cannot write " + temp());
        m_info.bytes += size;
        m_info.crc32c = crc32c(m_info.crc32c, data, size);
        m_info.lines += countLineFeeds(data, size);
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return !m_failed; }
    // Makes the key set durable and part of the backup; the restart string is not used.
    bool close(const std::string&) override {
        if (m_failed) return false;
        std::string error;
        // The folder must be ours (locked) and its backup complete, freshly or from an earlier run.
        if (!m_job->m_lock || !m_job->m_manifest.complete) return fail("the backup in the folder is not complete");
        if (!m_file && !(m_file = m_job->m_fs.openTruncate(temp(), error))) return fail(error);
        if (!m_file->sync() || !m_file->close()) return fail("cannot write " + temp() + " durably");
        m_file.reset();
        if (!m_job->m_fs.rename(temp(), m_job->pathOf(kKeySetFile), error) ||
            !m_job->m_fs.syncDirectory(m_job->m_folder, error) || !m_job->recordKeySet(m_info, error))
            return fail(error);
        return true;
    }

private:
    std::string temp() const { return m_job->pathOf(std::string(kKeySetFile) + ".tmp"); }
    bool fail(const std::string& error) {
        m_failed = true;
        m_file.reset();
        m_job->logMessage("keySet", error);
        m_job->reportFailure("cannot store the key set in " + m_job->folder() + ": " + error);
        return false;
    }

    BackupJobEnvironment* m_job;
    std::unique_ptr<WritableFile> m_file;
    ChunkInfo m_info;
    bool m_failed = false;
};

// ---------------------------------------------------------------------------------------------
// BackupDataOutput

BackupDataOutput::BackupDataOutput(const std::string& name, BackupJobEnvironment* environment)
    : IdaOutput(name, environment), m_job(environment), m_lastCommitMs(environment->runtime().monotonicMs()) {
    const BackupManifest& m = environment->m_manifest;
    m_pages = m.pages;
    m_restart = m.restart;
    // Keep appending to the last chunk of a resumed backup while it has room.
    if (!m.chunks.empty() && m.chunks.back().bytes < environment->m_chunkSize) {
        m_current = m.chunks.back();
        m_atBoundary = m_current;
        m_haveChunk = true;
    }
    m_progress.pages = m.pages;
    m_progress.durablePages = m.pages;
    m_progress.entities = m.totalLines();
    m_progress.bytes = m.totalBytes();
}

BackupDataOutput::~BackupDataOutput() {
    if (m_file) m_file->close();
}

bool BackupDataOutput::fail(const std::string& message) {
    if (!m_failed.exchange(true)) {
        m_job->logMessage("BackupDataOutput", message);
        m_job->reportFailure(message);
    }
    m_file.reset();
    return false;
}

bool BackupDataOutput::openChunk() {
    std::string error;
    if (m_haveChunk) {
        m_file = m_job->m_fs.openAppend(m_job->pathOf(m_current.file), error);
        return m_file ? true : fail(error);
    }
    // The manifest lists every finished chunk and, when it has bytes, the current one.
    unsigned index = static_cast<unsigned>(m_job->m_manifest.chunks.size()) + 1;
    ChunkInfo chunk;
    chunk.file = chunkFileName(index);
    m_file = m_job->m_fs.openTruncate(m_job->pathOf(chunk.file), error);
    if (!m_file) return fail(error);
    // The new file's name must survive a crash before any manifest can point at it.
    if (!m_job->m_fs.syncDirectory(m_job->m_folder, error)) return fail(error);
    m_current = chunk;
    m_atBoundary = chunk;
    m_haveChunk = true;
    m_chunkDirty = false;
    return true;
}

bool BackupDataOutput::append(const char* data, size_t size) {
    if (m_failed || m_closed) return false;
    if (size == 0) return true;
    if (!m_file && !openChunk()) return false;
    if (!m_file->append(data, size)) return fail("cannot write " + m_job->pathOf(m_current.file));
    m_chunkDirty = true;
    m_current.bytes += size;
    m_current.crc32c = crc32c(m_current.crc32c, data, size);
    const uint64_t lines = countLineFeeds(data, size);
    m_current.lines += lines;
    m_sessionBytes += size;
    m_progress.entities += lines;
    m_progress.bytes += size;
    m_progress.sessionBytes += size;
    m_progress.sessionEntities += lines;
    return true;
}

bool BackupDataOutput::putString(const std::string& text) { return append(text.data(), text.size()); }
bool BackupDataOutput::putBytes(const char* data, size_t size) { return append(data, size); }

void BackupDataOutput::updateRestart(const std::string& restart) {
    if (m_failed || m_closed) return;
    ++m_pages;
    // "" after the last page would read as "start from the first entity" on resume.
    RestartPoint point;
    m_restart = RestartPoint::parseAfterPage(restart, point) ? point.toString() : restart;
    if (m_haveChunk) {
        // A page lies wholly in one chunk: only page boundaries are recorded.
        m_atBoundary = m_current;
        if (m_job->m_manifest.chunks.empty() || m_job->m_manifest.chunks.back().file != m_current.file)
            m_job->m_manifest.chunks.push_back(m_current);
        m_job->m_manifest.chunks.back() = m_current;
    }
    m_sessionBytesAtBoundary = m_sessionBytes;
    ++m_pagesSinceCommit;
    m_progress.pages = m_pages;

    const CommitPolicy& policy = m_job->m_policy;
    bool cut = m_haveChunk && m_current.bytes >= m_job->m_chunkSize;
    bool due = cut || m_pagesSinceCommit >= policy.pages ||
               m_sessionBytes - m_durableSessionBytes.load() >= policy.bytes ||
               (policy.milliseconds && m_job->runtime().monotonicMs() - m_lastCommitMs >= policy.milliseconds);
    if (!due || !commit(false) || !cut) return;
    if (m_file && !m_file->close()) {
        fail("cannot close " + m_job->pathOf(m_current.file));
        return;
    }
    m_file.reset();
    m_haveChunk = false;
}

bool BackupDataOutput::commit(bool complete) {
    if (m_failed) return false;
    if (m_file && m_chunkDirty) {
        if (!m_file->sync()) return fail("cannot sync " + m_job->pathOf(m_current.file) + " to disk");
        m_chunkDirty = false;
    }
    BackupManifest& manifest = m_job->m_manifest;
    manifest.pages = m_pages;
    manifest.restart = complete ? RestartPoint::end().toString() : m_restart;
    manifest.complete = complete;
    std::string error;
    if (!m_job->writeManifest(error)) return fail("cannot write " + m_job->pathOf(kManifestFile) + ": " + error);
    m_durableSessionBytes = m_sessionBytesAtBoundary;
    m_progress.durablePages = m_pages;
    m_pagesSinceCommit = 0;
    m_lastCommitMs = m_job->runtime().monotonicMs();
    return true;
}

bool BackupDataOutput::flush() {
    if (m_failed) return false;
    if (m_pagesSinceCommit == 0) return true;
    return commit(false);
}

bool BackupDataOutput::close(const std::string& restart) {
    if (m_failed) return false;
    if (m_closed) return true;
    bool ok = commit(isEndOfTable(restart));
    if (ok && m_file && !m_file->close()) ok = fail("cannot close " + m_job->pathOf(m_current.file));
    m_file.reset();
    m_closed = true;
    return ok;
}

// ---------------------------------------------------------------------------------------------
// BackupJobEnvironment

BackupJobEnvironment::BackupJobEnvironment(const std::string& folder, const std::string& account,
                                           const std::string& table, bool incremental, long long fromTime,
                                           long long toTime, uint64_t chunkSizeBytes, FileSystem& fs)
    : BackupJobEnvironment(defaultRuntime(), folder, account, table, incremental, fromTime, toTime, chunkSizeBytes,
                           &fs) {}

BackupJobEnvironment::BackupJobEnvironment(platform::Runtime& runtime, const std::string& folder,
                                           const std::string& account, const std::string& table, bool incremental,
                                           long long fromTime, long long toTime, uint64_t chunkSizeBytes,
                                           FileSystem* fs)
    : IdaEnvironment(account + "/" + table, runtime), m_folder(folder.empty() ? "." : folder),
      m_chunkSize(std::max<uint64_t>(chunkSizeBytes, 1)), m_fs(fs ? *fs : runtime.fileSystem()) {
    while (m_folder.size() > 1 && m_folder.back() == '/') m_folder.pop_back();
    m_manifest.account = account;
    m_manifest.table = table;
    m_manifest.incremental = incremental;
    m_manifest.fromTime = fromTime;
    m_manifest.toTime = toTime;
}

BackupJobEnvironment::~BackupJobEnvironment() {
    // The outputs handed out may outlive the environment; the lock goes with it.
    m_lock.reset();
}

bool BackupJobEnvironment::writeManifest(std::string& error) {
    std::lock_guard<std::mutex> lock(m_manifestMutex);
    m_manifest.descriptionFile = m_description;
    m_written = m_manifest;
    return writeFileDurably(m_fs, pathOf(kManifestFile), m_written.toJson(), error);
}

bool BackupJobEnvironment::recordKeySet(const ChunkInfo& keys, std::string& error) {
    std::lock_guard<std::mutex> lock(m_manifestMutex);
    // The backup is complete: the manifest in memory is the last one written (or, for a folder
    // found complete, the one read), with the description this run may have rewritten.
    m_manifest.keySet = keys;
    if (m_description.present) m_manifest.descriptionFile = m_description;
    m_written = m_manifest;
    if (writeFileDurably(m_fs, pathOf(kManifestFile), m_written.toJson(), error)) return true;
    error = "cannot write " + pathOf(kManifestFile) + ": " + error;
    return false;
}

bool BackupJobEnvironment::recordDescription(const FileChecksum& sum, std::string& error) {
    std::lock_guard<std::mutex> lock(m_manifestMutex);
    m_description = sum;
    // The manifest last written, not the one the data output is changing meanwhile.
    m_written.descriptionFile = sum;
    if (writeFileDurably(m_fs, pathOf(kManifestFile), m_written.toJson(), error)) return true;
    error = "cannot write " + pathOf(kManifestFile) + ": " + error;
    return false;
}

BackupJobEnvironment::State BackupJobEnvironment::open(std::string& message, bool keepStoredUpperBound) {
    message.clear();
    if (!m_lock) {
        std::string error;
        if (!m_fs.makeDirectories(m_folder, error)) {
            message = error;
            return State::Refused;
        }
        LockFailure failure;
        m_lock = m_fs.lockFile(pathOf(kLockFile), true, failure);
        if (!m_lock) {
            message = describeLockFailure(m_folder, failure);
            return State::Refused;
        }
    }
    State state = claim(message, keepStoredUpperBound);
    if (state == State::Refused) m_lock.reset();
    return state;
}

BackupJobEnvironment::State BackupJobEnvironment::claim(std::string& message, bool keepStoredUpperBound) {
    std::string error;
    std::vector<std::string> names;
    if (!m_fs.listDirectory(m_folder, names, error)) {
        message = error;
        return State::Refused;
    }
    for (const auto& name : names)
        if (isStaleTemp(name)) m_fs.remove(pathOf(name));
    const std::string manifestPath = pathOf(kManifestFile);
    if (!m_fs.exists(manifestPath)) {
        for (const auto& name : names)
            if (isDataFileName(name)) {
                message = m_folder + " holds " + name + " but no " + kManifestFile +
                          ": it is not a backup that can be continued; use another folder";
                return State::Refused;
            }
        m_manifest.restart.clear();
        m_manifest.complete = false;
        m_manifest.pages = 0;
        m_manifest.chunks.clear();
        m_manifest.metadataFile = FileChecksum::of(m_manifest.metadataJson());
        if (!writeFileDurably(m_fs, pathOf(kMetadataFile), m_manifest.metadataJson(), error) ||
            !writeManifest(error)) {
            message = "cannot start a backup in " + m_folder + ": " + error;
            return State::Refused;
        }
        m_opened = true;
        return State::Fresh;
    }

    std::string text;
    BackupManifest stored;
    if (!m_fs.readFile(manifestPath, text, error) || !BackupManifest::fromJson(text, stored, error)) {
        message = m_folder + " holds a damaged backup (" + error + "); use another folder";
        return State::Refused;
    }
    const BackupManifest& wanted = m_manifest;
    if (stored.account != wanted.account || stored.table != wanted.table ||
        stored.incremental != wanted.incremental || stored.fromTime != wanted.fromTime ||
        (!keepStoredUpperBound && (stored.toTime != wanted.toTime || stored.bounded != wanted.bounded))) {
        message = m_folder + " holds a backup of " + describeCoverage(stored) + ", not of " +
                  describeCoverage(wanted) + "; use another folder";
        return State::Refused;
    }
    if (stored.complete) {
        m_manifest = stored;
        message = "the backup in " + m_folder + " is already complete";
        return State::Complete;
    }
    if (!isPagePosition(stored.restart)) {
        message = "cannot resume the backup in " + m_folder + ": its restart string '" + stored.restart +
                  "' is not a page position; use another folder";
        return State::Refused;
    }
    // Everything after the last durable point is the remains of the interrupted run.
    for (size_t i = 0; i < stored.chunks.size(); ++i) {
        const ChunkInfo& chunk = stored.chunks[i];
        uint64_t size = 0;
        if (!m_fs.fileSize(pathOf(chunk.file), size) || size < chunk.bytes) {
            message = "cannot resume the backup in " + m_folder + ": chunk " + chunk.file +
                      " is missing or shorter than its manifest records; use another folder";
            return State::Refused;
        }
        if (size > chunk.bytes && !m_fs.truncate(pathOf(chunk.file), chunk.bytes, error)) {
            message = "cannot resume the backup in " + m_folder + ": " + error;
            return State::Refused;
        }
    }
    // A chunk file the manifest never listed holds only pages the resumed scan fetches again.
    for (const auto& name : names) {
        if (chunkIndexOf(name) > stored.chunks.size() && !m_fs.remove(pathOf(name))) {
            message = "cannot resume the backup in " + m_folder + ": cannot remove " + name;
            return State::Refused;
        }
    }
    m_manifest = stored;
    m_description = stored.descriptionFile;
    m_manifest.metadataFile = FileChecksum::of(m_manifest.metadataJson());
    m_opened = true;
    if (!writeFileDurably(m_fs, pathOf(kMetadataFile), m_manifest.metadataJson(), error) ||
        !writeManifest(error)) {
        message = "cannot resume the backup in " + m_folder + ": " + error;
        return State::Refused;
    }
    if (stored.pages > 0 && isEndOfTable(stored.restart)) {
        // The scan had reached the end; only the final mark was missing.
        m_manifest.complete = true;
        if (!writeManifest(error)) {
            message = "cannot complete the backup in " + m_folder + ": " + error;
            return State::Refused;
        }
        message = "the backup in " + m_folder + " had stored every page; it is now marked complete";
        return State::Complete;
    }
    message = "resuming the backup in " + m_folder + " after " + std::to_string(stored.pages) + " pages (" +
              std::to_string(stored.totalLines()) + " entities)";
    return State::Resume;
}

void BackupJobEnvironment::logMessage(const char* functionName, const std::string& message) {
    runtime().log().writeLine(m_name, functionName, message);
}

bool BackupJobEnvironment::logEnabled() const { return runtime().log().debugEnabled(); }

std::shared_ptr<BackupDataOutput> BackupJobEnvironment::dataOutput() {
    if (!m_data) m_data.reset(new BackupDataOutput(m_manifest.table, this));
    return m_data;
}

std::shared_ptr<IdaOutput> BackupJobEnvironment::createOutput(const std::string&, bool) {
    if (!m_opened) {
        logMessage("createOutput", "the backup folder was not opened");
        return nullptr;
    }
    return dataOutput();
}

std::shared_ptr<IdaOutput> BackupJobEnvironment::createKeySetOutput() {
    return std::make_shared<KeySetFileOutput>(this);
}

std::shared_ptr<IdaOutput> BackupJobEnvironment::createDescriptionOutput() {
    return std::make_shared<DescriptionFileOutput>(this);
}

std::shared_ptr<IdaInput> BackupJobEnvironment::createInput(const std::string&, bool) { return nullptr; }
std::shared_ptr<IdaInput> BackupJobEnvironment::createMetadataInput() { return nullptr; }
std::shared_ptr<IdaInput> BackupJobEnvironment::createDescriptionInput() { return nullptr; }

void BackupJobEnvironment::reportFailure(const std::string& message) {
    runtime().log().writeLine(m_name, "reportFailure", message);
    IdaEnvironment::reportFailure(message);
}

}  // namespace store
}  // namespace platform
