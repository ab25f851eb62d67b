#include "platform/store/RestoreEnvironment.h"

#include <thread>
#include <vector>

#include "platform/ida/IdaBufferedInput.h"
#include "platform/log/DebugLog.h"

namespace platform {
namespace store {
namespace {

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// A whole small file held in memory (description and metadata).
class TextFileInput : public IdaInput {
public:
    TextFileInput(bool readable, std::string text) : m_readable(readable), m_text(std::move(text)) {}
    bool error() override { return !m_readable; }
    bool getLine(std::string& line) override {
        if (!m_readable || m_position >= m_text.size()) return false;
        size_t end = m_text.find('\n', m_position);
        if (end == std::string::npos) end = m_text.size();
        line.assign(m_text, m_position, end - m_position);
        m_position = end + 1;
        return true;
    }
    void close() override {}
    bool getContents(std::string& contents) override {
        if (!m_readable) return false;
        contents = m_text;
        return true;
    }

private:
    bool m_readable;
    std::string m_text;
    size_t m_position = 0;
};

// The data input: a feeder thread checks each chunk, then streams it into the buffer.
class ChunkStreamInput : public IdaBufferedInput {
public:
    ChunkStreamInput(RestoreEnvironment* environment, FileSystem& fs, std::string folder,
                     std::vector<ChunkInfo> chunks, size_t readAhead,
                     std::shared_ptr<std::atomic<unsigned long long>> counter)
        : IdaBufferedInput(nullptr, readAhead),
          m_environment(environment),
          m_fs(fs),
          m_folder(std::move(folder)),
          m_chunks(std::move(chunks)),
          m_counter(std::move(counter)) {
        m_feeder = std::thread([this] { feed(); });
    }

    ~ChunkStreamInput() override {
        IdaBufferedInput::close();
        if (m_feeder.joinable()) m_feeder.join();
    }

    bool getLine(std::string& line) override {
        if (!IdaBufferedInput::getLine(line)) return false;
        m_counter->fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    bool startRestore(bool) override { return false; }  // this input is read, never restored into

private:
    // Reads the recorded bytes of one chunk, handing each piece to `sink`; checks size,
    // line count and checksum. False with `problem` set when the chunk is not as recorded.
    template <typename Sink>
    bool scanChunk(const ChunkInfo& chunk, Sink&& sink, std::string& problem) {
        const std::string path = joinPath(m_folder, chunk.file);
        std::string error;
        auto file = m_fs.openRead(path, error);
        if (!file) {
            problem = "chunk " + chunk.file + " cannot be read (" + error + ")";
            return false;
        }
        std::vector<char> buffer(1 << 16);
        uint64_t remaining = chunk.bytes, lines = 0;
        uint32_t crc = 0;
        while (remaining > 0) {
            const size_t want = remaining < buffer.size() ? static_cast<size_t>(remaining) : buffer.size();
            long long got = file->read(buffer.data(), want);
            if (got < 0) {
                problem = "chunk " + chunk.file + " cannot be read";
                return false;
            }
            if (got == 0) {
                problem = "chunk " + chunk.file + " is shorter than recorded";
                return false;
            }
            crc = crc32c(crc, buffer.data(), static_cast<size_t>(got));
            for (long long i = 0; i < got; ++i) lines += buffer[static_cast<size_t>(i)] == '\n';
            remaining -= static_cast<uint64_t>(got);
            if (!sink(buffer.data(), static_cast<size_t>(got))) return false;
        }
        if (crc != chunk.crc32c) {
            problem = "chunk " + chunk.file + " is damaged (checksum mismatch)";
            return false;
        }
        if (lines != chunk.lines) {
            problem = "chunk " + chunk.file + " is damaged (line count mismatch)";
            return false;
        }
        return true;
    }

    void feed() {
        for (const auto& chunk : m_chunks) {
            std::string problem;
            // First pass: the whole chunk must check out before any of its lines is handed out.
            if (!scanChunk(chunk, [](const char*, size_t) { return true; }, problem)) return fail(problem);
            bool refused = false;
            auto deliver = [&](const char* data, size_t size) {
                refused = !processBuffer(const_cast<char*>(data), size);
                return !refused;
            };
            if (!scanChunk(chunk, deliver, problem)) {
                if (refused) return;  // the reader closed the input; nobody wants the rest
                // Changed between the two passes: what was handed out can no longer be trusted.
                return fail(problem);
            }
            if (!closeChunk()) return;
        }
        endOfObject();
    }

    void fail(const std::string& problem) {
        const std::string message = "Backup " + m_folder + ": " + problem;
        m_environment->logMessage("createInput", message);
        m_environment->reportFailure(message);
        failDelivery(message);
    }

    RestoreEnvironment* m_environment;
    FileSystem& m_fs;
    std::string m_folder;
    std::vector<ChunkInfo> m_chunks;
    std::shared_ptr<std::atomic<unsigned long long>> m_counter;
    std::thread m_feeder;
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
    : IdaEnvironment(folder),
      m_folder(folder),
      m_fs(fs),
      m_readAhead(IdaBufferedInput::kDefaultCapacity),
      m_linesDelivered(std::make_shared<std::atomic<unsigned long long>>(0)) {}

RestoreEnvironment::~RestoreEnvironment() = default;

bool RestoreEnvironment::open(std::string& error) {
    std::string text, readError;
    if (!m_fs.readFile(joinPath(m_folder, kManifestFile), text, readError)) {
        error = "no backup in " + m_folder + " (" + readError + ")";
        return false;
    }
    BackupManifest manifest;
    if (!BackupManifest::fromJson(text, manifest, readError)) {
        error = "the backup manifest of " + m_folder + " is unreadable: " + readError;
        return false;
    }
    m_manifest = std::move(manifest);
    m_opened = true;
    return true;
}

void RestoreEnvironment::logMessage(const char* functionName, const std::string& message) {
    platform::log::writeDebugLine(m_folder, functionName, message);
    if (m_sink) m_sink(m_folder, functionName, message);
}

std::shared_ptr<IdaOutput> RestoreEnvironment::createOutput(const std::string&, bool) { return nullptr; }
std::shared_ptr<IdaOutput> RestoreEnvironment::createDescriptionOutput() { return nullptr; }

std::shared_ptr<IdaInput> RestoreEnvironment::createInput(const std::string&, bool) {
    if (!m_opened) {
        std::string error;
        if (!open(error)) {
            logMessage("createInput", error);
            reportFailure(error);
            return std::make_shared<FailedInput>();
        }
    }
    return std::make_shared<ChunkStreamInput>(this, m_fs, m_folder, m_manifest.chunks, m_readAhead,
                                              m_linesDelivered);
}

std::shared_ptr<IdaInput> RestoreEnvironment::fileInput(const char* fileName) {
    std::string text, error;
    if (!m_fs.readFile(joinPath(m_folder, fileName), text, error)) {
        logMessage("createInput", error);
        return std::make_shared<TextFileInput>(false, "");
    }
    return std::make_shared<TextFileInput>(true, std::move(text));
}

std::shared_ptr<IdaInput> RestoreEnvironment::createMetadataInput() { return fileInput(kMetadataFile); }
std::shared_ptr<IdaInput> RestoreEnvironment::createDescriptionInput() { return fileInput(kDescriptionFile); }

}  // namespace store
}  // namespace platform
