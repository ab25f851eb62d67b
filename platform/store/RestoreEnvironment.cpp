#include "platform/store/RestoreEnvironment.h"

#include <cstring>
#include <vector>

#include "platform/ida/IdaTextInput.h"
#include "platform/store/BackupReader.h"
#include "platform/log/DebugLog.h"

namespace platform {
namespace store {
namespace {

// The data input: the backup's lines as BackupReader hands them out (it checks each chunk, or
// segment, before any of its lines), read on the thread that reads the input, a segment at a
// time. Whoever reads it keeps its own queue of lines ahead of what it writes (the replay's
// lanes), so no thread of its own reads ahead and no second buffer holds the lines.
class ChunkStreamInput : public IdaInput {
public:
    ChunkStreamInput(RestoreEnvironment* environment, std::unique_ptr<BackupReader> reader,
                     std::shared_ptr<std::atomic<unsigned long long>> counter)
        : m_environment(environment), m_reader(std::move(reader)), m_counter(std::move(counter)) {}

    bool error() override { return m_failed.load(); }

    bool getLine(std::string& line) override {
        if (!haveLines()) return false;
        takeLine(line);
        m_counter->fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    size_t getLines(std::vector<std::string>& lines, size_t maxLines, size_t maxBytes) override {
        size_t count = 0, bytes = 0;
        while (takesMore(count, bytes, maxLines, maxBytes) && haveLines()) {
            if (lines.size() <= count + 1) lines.resize(count + 2);
            // The next string's storage was last written on another core (a lane's): asked for
            // now, it is here when the line after this one is copied into it.
            __builtin_prefetch(lines[count + 1].data(), 1);
            bytes += takeLine(lines[count++]);
        }
        m_counter->fetch_add(count, std::memory_order_relaxed);
        return count;
    }

    void close() override {
        m_ended = true;
        m_at = m_end = nullptr;
    }

private:
    // Whole lines are left in the reader's buffer, or it hands out more; false at the end of the
    // backup, on damage (the input then fails) and once closed.
    bool haveLines() {
        if (m_at < m_end) return true;
        if (m_ended) return false;
        char* lines = nullptr;
        size_t size = 0;
        if (m_reader->nextLines(lines, size)) {
            m_at = lines;
            m_end = lines + size;
            return true;
        }
        m_ended = true;
        // Lines of sound chunks before a damaged one were handed out; none of the damaged.
        if (m_reader->error()) fail(m_reader->errorMessage());
        return false;
    }

    // The next line (each the reader hands out ends in a line feed); returns its length.
    size_t takeLine(std::string& line) {
        const char* feed = static_cast<const char*>(std::memchr(m_at, '\n', static_cast<size_t>(m_end - m_at)));
        const size_t length = static_cast<size_t>(feed - m_at);
        // Room for a line a little longer, so the string is not grown again for the next one.
        if (line.capacity() < length) {
            line.clear();
            line.reserve(length + length / 8 + 16);
        }
        line.assign(m_at, length);
        m_at = feed + 1;
        return length;
    }

    void fail(const std::string& problem) {
        const std::string message = "Backup " + m_reader->folder() + ": " + problem;
        m_environment->logMessage("createInput", message);
        m_environment->reportFailure(message);
        m_failed = true;
    }

    RestoreEnvironment* m_environment;
    std::unique_ptr<BackupReader> m_reader;
    std::shared_ptr<std::atomic<unsigned long long>> m_counter;
    const char* m_at = nullptr;   // the next line in the reader's buffer
    const char* m_end = nullptr;  // the end of the whole lines there
    bool m_ended = false;         // closed, or the reader has no more
    std::atomic<bool> m_failed{false};
};

// An input that failed before it started.
class FailedInput : public IdaInput {
public:
    bool error() override { return true; }
    bool getLine(std::string&) override { return false; }
    void close() override {}
    bool getContents(std::string&) override { return false; }
};

}  // namespace

RestoreEnvironment::RestoreEnvironment(const std::string& folder, FileSystem& fs)
    : RestoreEnvironment(defaultRuntime(), folder, &fs) {}

RestoreEnvironment::RestoreEnvironment(platform::Runtime& runtime, const std::string& folder, FileSystem* fs)
    : IdaEnvironment(folder, runtime),
      m_folder(folder),
      m_fs(fs ? *fs : runtime.fileSystem()),
      m_linesDelivered(std::make_shared<std::atomic<unsigned long long>>(0)) {}

RestoreEnvironment::~RestoreEnvironment() = default;

bool RestoreEnvironment::lock(std::string& error) { return lockStatus(error) != Status::Code::InUse; }

Status::Code RestoreEnvironment::lockStatus(std::string& error) {
    std::lock_guard<std::mutex> guard(m_lockMutex);
    if (m_lock || m_lockUnavailable) return Status::Code::Ok;
    std::string base = m_folder.empty() ? "." : m_folder;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    // A folder without a backup gets no lock file; reading it fails with its own message.
    if (!m_fs.exists(base + "/" + kManifestFile)) return Status::Code::NotFound;
    LockFailure failure;
    m_lock = m_fs.lockFile(base + "/" + kLockFile, false, failure);
    if (m_lock) return Status::Code::Ok;
    if (failure.busy) {
        error = base + " is in use by " +
                (failure.holder ? "process " + std::to_string(failure.holder) : std::string("another process")) +
                " (a backup is writing it); wait for it to finish";
        return Status::Code::InUse;
    }
    m_lockUnavailable = true;
    logMessage("open", "reading without a lock: " + failure.error);
    return Status::Code::Ok;
}

bool RestoreEnvironment::open(std::string& error) {
    Status status = open();
    if (!status.ok()) error = status.message;
    return status.ok();
}

Status RestoreEnvironment::open() {
    std::string error;
    const Status::Code locked = lockStatus(error);
    if (locked == Status::Code::InUse) return Status(locked, error);
    // An unfinished backup still has a description and metadata; its data input refuses it.
    auto reader = BackupReader::open(m_folder, error, m_fs, /*allowIncomplete=*/true);
    if (!reader) return Status(locked == Status::Code::NotFound ? locked : Status::Code::Damaged, error);
    m_manifest = reader->manifest();
    m_opened = true;
    return Status::success();
}

bool RestoreEnvironment::verify(std::string& error) {
    Status status = verify();
    if (!status.ok()) error = status.message;
    return status.ok();
}

Status RestoreEnvironment::verify() {
    if (!m_opened) {
        Status opened = open();
        if (!opened.ok()) return opened;
    }
    m_verifiedBytes = 0;
    {
        std::lock_guard<std::mutex> guard(m_lockMutex);
        m_segments.clear();  // what an earlier verify() found no longer vouches for anything
    }
    std::string error;
    auto reader = BackupReader::open(m_folder, error, m_fs, /*allowIncomplete=*/true);
    if (!reader) return Status(Status::Code::Damaged, error);
    if (reader->manifest().toJson() != m_manifest.toJson())
        return Status(Status::Code::Damaged, "backup " + m_folder + ": " + kManifestFile + " changed after it was opened");
    if (!m_manifest.complete)
        return Status(Status::Code::Refused,
                      "backup " + m_folder + ": the backup did not finish (run the backup again to complete it)");
    std::vector<ChunkSegments> segments;
    if (!reader->verify(error, &m_verifiedBytes, &segments)) return Status(Status::Code::Damaged, error);
    std::lock_guard<std::mutex> guard(m_lockMutex);
    m_segments = std::move(segments);
    return Status::success();
}

void RestoreEnvironment::logMessage(const char* functionName, const std::string& message) {
    runtime().log().writeLine(m_folder, functionName, message);
    if (m_sink) m_sink(m_folder, functionName, message);
}

bool RestoreEnvironment::logEnabled() const { return m_sink || runtime().log().debugEnabled(); }

std::shared_ptr<IdaOutput> RestoreEnvironment::createOutput(const std::string&, bool) { return nullptr; }
std::shared_ptr<IdaOutput> RestoreEnvironment::createDescriptionOutput() { return nullptr; }

std::shared_ptr<IdaInput> RestoreEnvironment::createInput(const std::string&, bool) {
    std::string error;
    // Replaying part of a backup would make a partial table look restored.
    std::unique_ptr<BackupReader> reader;
    if (lock(error)) reader = BackupReader::open(m_folder, error, m_fs, /*allowIncomplete=*/false);
    if (!reader) {
        logMessage("createInput", error);
        reportFailure(error);
        return std::make_shared<FailedInput>();
    }
    {
        // verify() read every chunk: each is read once more, for its lines, checked segment by
        // segment against what verify() found.
        std::lock_guard<std::mutex> guard(m_lockMutex);
        reader->useSegments(m_segments);
    }
    return std::make_shared<ChunkStreamInput>(this, std::move(reader), m_linesDelivered);
}

std::shared_ptr<IdaInput> RestoreEnvironment::fileInput(bool metadata) {
    std::string error, text;
    std::unique_ptr<BackupReader> reader;
    if (lock(error)) reader = BackupReader::open(m_folder, error, m_fs, /*allowIncomplete=*/true);
    bool read = reader && (metadata ? reader->readMetadata(text) : reader->readDescription(text));
    if (!read) {
        logMessage(metadata ? "createMetadataInput" : "createDescriptionInput",
                   reader ? reader->errorMessage() : error);
        return std::make_shared<IdaTextInput>("", false);
    }
    return std::make_shared<IdaTextInput>(std::move(text));
}

std::shared_ptr<IdaInput> RestoreEnvironment::createMetadataInput() { return fileInput(true); }
std::shared_ptr<IdaInput> RestoreEnvironment::createDescriptionInput() { return fileInput(false); }

}  // namespace store
}  // namespace platform
