#include "platform/store/BackupReader.h"

#include <algorithm>

namespace platform {
namespace store {
namespace {

constexpr size_t kReadBlock = 1 << 16;

}  // namespace

BackupReader::BackupReader(std::string folder, BackupManifest manifest, FileSystem& fs)
    : m_folder(std::move(folder)), m_manifest(std::move(manifest)), m_fs(fs) {}

BackupReader::~BackupReader() = default;

std::unique_ptr<BackupReader> BackupReader::open(const std::string& folder, std::string& error, FileSystem& fs,
                                                 bool allowIncomplete) {
    std::string base = folder.empty() ? "." : folder;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string manifestPath = base + "/" + kManifestFile;
    if (!fs.exists(manifestPath)) {
        error = "no backup in " + base + " (" + kManifestFile + " is missing)";
        return nullptr;
    }
    std::string text;
    if (!fs.readFile(manifestPath, text, error)) return nullptr;
    BackupManifest manifest;
    std::string why;
    if (!BackupManifest::fromJson(text, manifest, why)) {
        error = "cannot read " + manifestPath + ": " + why;
        return nullptr;
    }
    if (!manifest.complete && !allowIncomplete) {
        error = "the backup in " + base + " did not finish (run the backup again to complete it)";
        return nullptr;
    }
    return std::unique_ptr<BackupReader>(new BackupReader(base, std::move(manifest), fs));
}

std::string BackupReader::pathOf(const std::string& file) const { return m_folder + "/" + file; }

bool BackupReader::fail(const std::string& message) {
    if (m_error.empty()) m_error = message;
    m_file.reset();
    return false;
}

bool BackupReader::readDescription(std::string& text) {
    std::string why;
    if (!m_fs.readFile(pathOf(kDescriptionFile), text, why)) return fail(why);
    return true;
}

bool BackupReader::readMetadata(std::string& text) {
    std::string why;
    if (!m_fs.readFile(pathOf(kMetadataFile), text, why)) return fail(why);
    return true;
}

bool BackupReader::verifyChunk(size_t index, std::string& error) {
    if (index >= m_manifest.chunks.size()) {
        error = "no chunk " + std::to_string(index + 1);
        return false;
    }
    const ChunkInfo& chunk = m_manifest.chunks[index];
    std::string path = pathOf(chunk.file);
    uint64_t size = 0;
    if (!m_fs.exists(path) || !m_fs.fileSize(path, size)) {
        error = "chunk " + chunk.file + " is missing";
        return false;
    }
    if (size < chunk.bytes) {
        error = "chunk " + chunk.file + " is truncated (" + std::to_string(size) + " of " +
                std::to_string(chunk.bytes) + " bytes)";
        return false;
    }
    auto file = m_fs.openRead(path, error);
    if (!file) return false;
    std::string block(kReadBlock, '\0');
    uint64_t remaining = chunk.bytes;
    uint64_t lines = 0;
    uint32_t crc = 0;
    char last = '\n';
    while (remaining > 0) {
        long long n = file->read(&block[0], static_cast<size_t>(std::min<uint64_t>(remaining, block.size())));
        if (n < 0) {
            error = "cannot read chunk " + chunk.file;
            return false;
        }
        if (n == 0) {
            error = "chunk " + chunk.file + " is truncated";
            return false;
        }
        crc = crc32c(crc, block.data(), static_cast<size_t>(n));
        lines += static_cast<uint64_t>(std::count(block.data(), block.data() + n, '\n'));
        last = block[static_cast<size_t>(n) - 1];
        remaining -= static_cast<uint64_t>(n);
    }
    if (crc != chunk.crc32c) {
        error = "chunk " + chunk.file + " is damaged (checksum mismatch)";
        return false;
    }
    if (lines != chunk.lines || last != '\n') {
        error = "chunk " + chunk.file + " does not hold the " + std::to_string(chunk.lines) +
                " complete lines its manifest records";
        return false;
    }
    return true;
}

bool BackupReader::verify(std::string& error) {
    for (size_t i = 0; i < m_manifest.chunks.size(); ++i)
        if (!verifyChunk(i, error)) return false;
    return true;
}

bool BackupReader::openNextChunk() {
    // Chunks with no bytes hold no lines; skip them without opening anything.
    while (m_nextChunk < m_manifest.chunks.size()) {
        size_t index = m_nextChunk++;
        const ChunkInfo& chunk = m_manifest.chunks[index];
        std::string why;
        if (!verifyChunk(index, why)) return fail(why);
        if (chunk.bytes == 0) continue;
        m_file = m_fs.openRead(pathOf(chunk.file), why);
        if (!m_file) return fail(why);
        m_chunkRemaining = chunk.bytes;
        m_chunkLines = 0;
        m_buffer.clear();
        m_bufferPos = 0;
        return true;
    }
    return false;
}

bool BackupReader::fillBuffer() {
    if (m_chunkRemaining == 0) return false;
    m_buffer.erase(0, m_bufferPos);
    m_bufferPos = 0;
    size_t old = m_buffer.size();
    size_t want = static_cast<size_t>(std::min<uint64_t>(m_chunkRemaining, kReadBlock));
    m_buffer.resize(old + want);
    long long n = m_file->read(&m_buffer[old], want);
    if (n <= 0) {
        m_buffer.resize(old);
        return fail("cannot read chunk " + m_manifest.chunks[m_nextChunk - 1].file);
    }
    m_buffer.resize(old + static_cast<size_t>(n));
    m_chunkRemaining -= static_cast<uint64_t>(n);
    return true;
}

bool BackupReader::nextLine(std::string& line) {
    if (error()) return false;
    while (true) {
        if (m_file) {
            size_t end = m_buffer.find('\n', m_bufferPos);
            if (end != std::string::npos) {
                line.assign(m_buffer, m_bufferPos, end - m_bufferPos);
                m_bufferPos = end + 1;
                ++m_chunkLines;
                ++m_linesRead;
                return true;
            }
            if (m_chunkRemaining > 0) {
                if (!fillBuffer()) return false;
                continue;
            }
            // The checksum pass vouched for this chunk; a difference now means it changed
            // under us.
            const ChunkInfo& chunk = m_manifest.chunks[m_nextChunk - 1];
            if (m_bufferPos != m_buffer.size() || m_chunkLines != chunk.lines)
                return fail("chunk " + chunk.file + " changed while it was being read");
            m_file.reset();
        }
        if (!openNextChunk()) return false;
    }
}

}  // namespace store
}  // namespace platform
