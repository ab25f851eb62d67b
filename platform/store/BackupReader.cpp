#include "platform/store/BackupReader.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include <rapidjson/reader.h>

namespace platform {
namespace store {
namespace {

constexpr size_t kReadBlock = 1 << 16;
// Far more than any description or metadata file; a larger one is not read into memory.
constexpr uint64_t kSmallFileLimit = uint64_t(4) << 20;

// The first data file in `folder` that `manifest` does not list ("" when there is none).
bool findUnlisted(FileSystem& fs, const std::string& folder, const BackupManifest& manifest, std::string& unlisted,
                  std::string& error) {
    std::vector<std::string> names;
    if (!fs.listDirectory(folder, names, error)) return false;
    std::set<std::string> listed;
    for (const auto& chunk : manifest.chunks) listed.insert(chunk.file);
    std::sort(names.begin(), names.end());
    unlisted.clear();
    for (const auto& name : names)
        if (isDataFileName(name) && !listed.count(name)) {
            unlisted = name;
            break;
        }
    return true;
}

// A rapidjson input stream over the first `size` bytes of a file, a block at a time; Tell() is
// the offset in the file.
class FileStream {
public:
    typedef char Ch;
    FileStream(ReadableFile& file, uint64_t size) : m_file(file), m_left(size), m_block(kReadBlock) {}
    bool atEnd() { return !fill(); }
    Ch Peek() { return fill() ? m_block[m_pos] : '\0'; }
    Ch Take() {
        if (!fill()) return '\0';
        ++m_offset;
        return m_block[m_pos++];
    }
    size_t Tell() const { return static_cast<size_t>(m_offset); }
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

private:
    bool fill() {
        if (m_pos < m_size) return true;
        if (m_left == 0) return false;
        long long n = m_file.read(m_block.data(), static_cast<size_t>(std::min<uint64_t>(m_left, m_block.size())));
        if (n <= 0) {
            m_left = 0;
            return false;
        }
        m_pos = 0;
        m_size = static_cast<size_t>(n);
        m_left -= static_cast<uint64_t>(n);
        return true;
    }

    ReadableFile& m_file;
    uint64_t m_left;
    std::vector<char> m_block;
    size_t m_pos = 0, m_size = 0;
    uint64_t m_offset = 0;
};

// Finds the first line in the first `size` bytes of `file` that is not one JSON object followed
// by a line feed: its start and the offset where it goes wrong. False when every line is sound.
bool findBrokenLine(ReadableFile& file, uint64_t size, uint64_t& lineStart, uint64_t& at) {
    FileStream in(file, size);
    rapidjson::Reader reader;
    rapidjson::BaseReaderHandler<> ignore;
    while (!in.atEnd()) {
        lineStart = in.Tell();
        if (in.Peek() != '{') {
            at = lineStart;
            return true;
        }
        reader.Parse<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseValidateEncodingFlag>(in, ignore);
        if (reader.HasParseError()) {
            at = reader.GetErrorOffset();
            return true;
        }
        if (in.atEnd() || in.Take() != '\n') {
            at = in.Tell();
            return true;
        }
    }
    return false;
}

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
    if (manifest.complete) {
        std::string unlisted;
        if (!findUnlisted(fs, base, manifest, unlisted, error)) return nullptr;
        if (!unlisted.empty()) {
            error = "the backup in " + base + " is damaged: it holds " + unlisted + ", which " + kManifestFile +
                    " does not list";
            return nullptr;
        }
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

bool BackupReader::verifyChunk(size_t index, std::string& error) { return checkChunk(index, false, nullptr, error); }

bool BackupReader::checkChunk(size_t index, bool thorough, std::atomic<uint64_t>* bytesVerified,
                              std::string& error) {
    if (index >= m_manifest.chunks.size()) {
        error = "no chunk " + std::to_string(index + 1);
        return false;
    }
    return checkDataFile("chunk", m_manifest.chunks[index], thorough, bytesVerified, error);
}

bool BackupReader::checkDataFile(const char* kind, const ChunkInfo& chunk, bool thorough,
                                 std::atomic<uint64_t>* bytesVerified, std::string& error,
                                 std::vector<uint32_t>* segmentSums) {
    if (segmentSums) segmentSums->clear();
    uint32_t segmentCrc = 0;
    const std::string what = std::string(kind) + " " + chunk.file;
    std::string path = pathOf(chunk.file);
    uint64_t size = 0;
    if (!m_fs.exists(path) || !m_fs.fileSize(path, size)) {
        error = what + " is missing";
        return false;
    }
    if (size < chunk.bytes) {
        error = what + " is truncated (" + std::to_string(size) + " of " +
                std::to_string(chunk.bytes) + " bytes)";
        return false;
    }
    auto file = m_fs.openRead(path, error);
    if (!file) return false;
    std::string block(kReadBlock, '\0');
    uint64_t remaining = chunk.bytes, offset = 0;
    uint64_t lines = 0;
    uint32_t crc = 0;
    char last = '\n';
    // Thorough: the first line not shaped like an object ("{...}\n"), by its start.
    bool misshapen = false;
    uint64_t lineStart = 0, misshapenAt = 0;
    while (remaining > 0) {
        long long n = file->read(&block[0], static_cast<size_t>(std::min<uint64_t>(remaining, block.size())));
        if (n < 0) {
            error = "cannot read chunk " + chunk.file + " at byte " + std::to_string(offset);
            return false;
        }
        if (n == 0) {
            error = what + " is truncated (ends at byte " + std::to_string(offset) + ")";
            return false;
        }
        const char* data = block.data();
        size_t count = static_cast<size_t>(n);
        crc = crc32c(crc, data, count);
        for (size_t done = 0; segmentSums && done < count;) {
            const size_t room = kSegmentBytes - static_cast<size_t>((offset + done) % kSegmentBytes);
            const size_t take = std::min(room, count - done);
            segmentCrc = crc32c(segmentCrc, data + done, take);
            done += take;
            if (take == room) {
                segmentSums->push_back(segmentCrc);
                segmentCrc = 0;
            }
        }
        if (!thorough) {
            lines += countLineFeeds(data, count);
        } else {
            for (size_t i = 0; i < count;) {
                if (!misshapen && offset + i == lineStart && data[i] != '{') {
                    misshapen = true;
                    misshapenAt = lineStart;
                }
                const void* found = std::memchr(data + i, '\n', count - i);
                if (!found) break;
                size_t end = static_cast<size_t>(static_cast<const char*>(found) - data);
                char before = end > 0 ? data[end - 1] : last;
                if (!misshapen && (before != '}' || offset + end == lineStart)) {
                    misshapen = true;
                    misshapenAt = lineStart;
                }
                ++lines;
                lineStart = offset + end + 1;
                i = end + 1;
            }
        }
        last = data[count - 1];
        offset += static_cast<uint64_t>(n);
        remaining -= static_cast<uint64_t>(n);
        if (bytesVerified) bytesVerified->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    if (segmentSums && offset % kSegmentBytes != 0) segmentSums->push_back(segmentCrc);
    if (crc != chunk.crc32c) {
        error = what + " is damaged (checksum mismatch)";
        if (!thorough) return false;
        uint64_t brokenLine = 0, brokenAt = 0;
        std::string ignored;
        auto again = m_fs.openRead(path, ignored);
        if (misshapen) {
            error += ": the line at byte " + std::to_string(misshapenAt) + " is not a JSON object";
        } else if (again && findBrokenLine(*again, chunk.bytes, brokenLine, brokenAt)) {
            error += ": the line at byte " + std::to_string(brokenLine) + " is not valid JSON (from byte " +
                     std::to_string(brokenAt) + ")";
        } else {
            error += " in its " + std::to_string(chunk.bytes) + " bytes; every line still reads as JSON, so a value changed";
        }
        return false;
    }
    if (lines != chunk.lines || last != '\n') {
        error = what + " does not hold the " + std::to_string(chunk.lines) +
                " complete lines its manifest records";
        if (thorough)
            error += " (" + std::to_string(lines) + " line feeds" +
                     (last != '\n' ? ", the last line ends without one at byte " + std::to_string(chunk.bytes) : "") + ")";
        return false;
    }
    if (misshapen) {
        error = what + ": the line at byte " + std::to_string(misshapenAt) + " is not a JSON object";
        return false;
    }
    return true;
}

bool BackupReader::checkSmallFile(const char* name, const FileChecksum& sum, std::string& text, std::string& error) {
    std::string path = pathOf(name);
    uint64_t size = 0;
    if (!m_fs.exists(path) || !m_fs.fileSize(path, size)) {
        error = std::string(name) + " is missing";
        return false;
    }
    if (sum.present && size != sum.bytes) {
        error = std::string(name) + " is " + std::to_string(size) + " bytes long; " + kManifestFile + " records " +
                std::to_string(sum.bytes);
        return false;
    }
    if (size > kSmallFileLimit) {
        error = std::string(name) + " is " + std::to_string(size) + " bytes long, far more than the backup writes";
        return false;
    }
    if (!m_fs.readFile(path, text, error)) return false;
    if (sum.present && !sum.matches(text)) {
        error = std::string(name) + " does not match the checksum " + kManifestFile + " records (it was edited or damaged)";
        return false;
    }
    return true;
}

bool BackupReader::verify(std::string& error, std::atomic<uint64_t>* bytesVerified,
                          std::vector<ChunkSegments>* segments) {
    if (segments) segments->clear();
    auto fail = [&](const std::string& problem) {
        error = "backup " + m_folder + ": " + problem;
        return false;
    };
    std::string problem, text, unlisted;
    // An interrupted run may have opened a chunk it never listed; a finished backup may not.
    if (m_manifest.complete) {
        if (!findUnlisted(m_fs, m_folder, m_manifest, unlisted, problem)) return fail(problem);
        if (!unlisted.empty()) return fail(unlisted + " is a data file " + kManifestFile + " does not list");
    }
    if (!checkSmallFile(kDescriptionFile, m_manifest.descriptionFile, text, problem) ||
        !BackupManifest::checkDescription(text, problem))
        return fail(problem);
    if (!checkSmallFile(kMetadataFile, m_manifest.metadataFile, text, problem) ||
        !m_manifest.checkMetadata(text, problem))
        return fail(problem);
    for (size_t i = 0; i < m_manifest.chunks.size(); ++i) {
        const ChunkInfo& chunk = m_manifest.chunks[i];
        ChunkSegments found;
        if (!checkDataFile("chunk", chunk, true, bytesVerified, problem, segments ? &found.sums : nullptr))
            return fail(problem);
        if (!segments) continue;
        found.bytes = chunk.bytes;
        found.crc32c = chunk.crc32c;
        segments->push_back(std::move(found));
    }
    if (m_manifest.hasKeySet() && !checkDataFile("key set", m_manifest.keySet, true, nullptr, problem)) return fail(problem);
    return true;
}

bool BackupReader::readKeySet(const std::function<void(const char* line, size_t size)>& each, std::string& error) {
    const ChunkInfo& keys = m_manifest.keySet;
    if (!m_manifest.hasKeySet()) {
        error = "backup " + m_folder + " holds no key set";
        return false;
    }
    auto file = m_fs.openRead(pathOf(keys.file), error);
    if (!file) return false;
    std::string buffer;
    uint64_t remaining = keys.bytes, lines = 0;
    uint32_t crc = 0;
    size_t start = 0;
    while (remaining > 0) {
        buffer.erase(0, start);
        start = 0;
        const size_t old = buffer.size();
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kReadBlock));
        buffer.resize(old + want);
        const long long n = file->read(&buffer[old], want);
        if (n <= 0) {
            error = "backup " + m_folder + ": key set " + keys.file + " ends early";
            return false;
        }
        buffer.resize(old + static_cast<size_t>(n));
        remaining -= static_cast<uint64_t>(n);
        crc = crc32c(crc, buffer.data() + old, static_cast<size_t>(n));
        for (const void* found; (found = std::memchr(buffer.data() + start, '\n', buffer.size() - start));) {
            const size_t end = static_cast<size_t>(static_cast<const char*>(found) - buffer.data());
            each(buffer.data() + start, end - start);
            ++lines;
            start = end + 1;
        }
    }
    if (crc != keys.crc32c || lines != keys.lines || start != buffer.size()) {
        error = "backup " + m_folder + ": key set " + keys.file + " is damaged (it does not match its checksum or line count)";
        return false;
    }
    return true;
}

bool BackupReader::openNextChunk() {
    // Chunks with no bytes hold no lines; skip them without opening anything.
    while (m_nextChunk < m_manifest.chunks.size()) {
        size_t index = m_nextChunk++;
        const ChunkInfo& chunk = m_manifest.chunks[index];
        std::string why;
        const bool known = index < m_knownSegments.size() && m_knownSegments[index].bytes == chunk.bytes &&
                           m_knownSegments[index].crc32c == chunk.crc32c &&
                           m_knownSegments[index].sums.size() == (chunk.bytes + kSegmentBytes - 1) / kSegmentBytes;
        if (known) {
            m_chunkSums.swap(m_knownSegments[index].sums);
            m_knownSegments[index].sums = std::vector<uint32_t>();
        } else if (!checkDataFile("chunk", chunk, false, nullptr, why, &m_chunkSums)) {
            return fail(why);
        }
        if (chunk.bytes == 0) continue;
        m_file = m_fs.openRead(pathOf(chunk.file), why);
        if (!m_file) return fail(why);
        m_chunkRemaining = chunk.bytes;
        m_chunkOffset = 0;
        m_chunkLines = 0;
        m_bufferPos = m_bufferEnd = 0;
        return true;
    }
    return false;
}

bool BackupReader::fillBuffer() {
    if (m_chunkRemaining == 0) return false;
    // The line begun at the end of the last segment moves to the front; the buffer keeps its size
    // (bytes past m_bufferEnd mean nothing), so it is not cleared for every segment.
    if (m_bufferPos > 0) {
        std::memmove(&m_buffer[0], m_buffer.data() + m_bufferPos, m_bufferEnd - m_bufferPos);
        m_bufferEnd -= m_bufferPos;
        m_bufferPos = 0;
    }
    // The next segment whole, checked before any of its bytes can be handed out.
    const size_t old = m_bufferEnd;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(m_chunkRemaining, kSegmentBytes));
    const ChunkInfo& chunk = m_manifest.chunks[m_nextChunk - 1];
    if (m_buffer.size() < old + want) m_buffer.resize(old + want);
    for (size_t got = 0; got < want;) {
        const long long n = m_file->read(&m_buffer[old + got], want - got);
        if (n <= 0) {
            return fail(n < 0 ? "cannot read chunk " + chunk.file
                              : "chunk " + chunk.file + " changed after it was checked (it ends at byte " +
                                    std::to_string(m_chunkOffset + got) + ")");
        }
        got += static_cast<size_t>(n);
    }
    const size_t segment = static_cast<size_t>(m_chunkOffset / kSegmentBytes);
    if (segment >= m_chunkSums.size() || crc32c(0, m_buffer.data() + old, want) != m_chunkSums[segment]) {
        return fail("chunk " + chunk.file + " changed after it was checked (bytes " + std::to_string(m_chunkOffset) +
                    " to " + std::to_string(m_chunkOffset + want) + ")");
    }
    m_bufferEnd = old + want;
    m_chunkOffset += want;
    m_chunkRemaining -= want;
    return true;
}

bool BackupReader::moreLines() {
    if (m_file) {
        if (m_chunkRemaining > 0) return fillBuffer();
        // The checksum pass vouched for this chunk; a difference now means it changed under us.
        const ChunkInfo& chunk = m_manifest.chunks[m_nextChunk - 1];
        if (m_bufferPos != m_bufferEnd || m_chunkLines != chunk.lines)
            return fail("chunk " + chunk.file + " changed while it was being read");
        m_file.reset();
    }
    return openNextChunk();
}

bool BackupReader::nextLine(std::string& line) {
    if (error()) return false;
    while (true) {
        if (m_file) {
            const char* const begin = m_buffer.data() + m_bufferPos;
            const void* found = std::memchr(begin, '\n', m_bufferEnd - m_bufferPos);
            if (found) {
                const size_t length = static_cast<size_t>(static_cast<const char*>(found) - begin);
                line.assign(begin, length);
                m_bufferPos += length + 1;
                ++m_chunkLines;
                ++m_linesRead;
                return true;
            }
        }
        if (!moreLines()) return false;
    }
}

bool BackupReader::nextLines(char*& lines, size_t& size) {
    if (error()) return false;
    while (true) {
        if (m_file) {
            char* const begin = &m_buffer[0] + m_bufferPos;
            const size_t available = m_bufferEnd - m_bufferPos;
            const char* last = available ? static_cast<const char*>(memrchr(begin, '\n', available)) : nullptr;
            if (last) {
                size = static_cast<size_t>(last - begin) + 1;
                const uint64_t count = countLineFeeds(begin, size);
                lines = begin;
                m_bufferPos += size;
                m_chunkLines += count;
                m_linesRead += count;
                return true;
            }
        }
        if (!moreLines()) return false;
    }
}

}  // namespace store
}  // namespace platform
