#pragma once
// Reads one table's backup folder (see BackupFormat.h) and checks it against its manifest.
//
// Ownership: a reader owns its open chunk file and a small read buffer; the FileSystem it was
// opened with must outlive it. Threads: one thread at a time.
//
// Lines come out chunk by chunk, in backup order, and memory stays bounded whatever the size of
// the backup: before the first line of a chunk is handed out, the chunk is read once in full to
// check its size and CRC-32C against the manifest (unless an earlier check's segment checksums
// were handed over with useSegments), which also records the CRC-32C of each kSegmentBytes
// segment; the chunk is then read again a segment at a time, and no line of a segment is handed
// out before the segment matches its recorded checksum. A chunk that is missing, shorter than
// recorded, damaged, changed since it was checked, or whose line count differs from the manifest
// yields none of its lines (none of the changed segment's and after): nextLine returns false and
// error() is true from then on. Bytes beyond a chunk's recorded size (the remains of an
// interrupted write) are never read.
//
// verify() checks the whole backup, streaming, before anything uses it (see there).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/store/BackupFormat.h"
#include "platform/store/FileSystem.h"
#include "platform/util/Export.h"

namespace platform {
namespace store {

// The CRC-32C of each kSegmentBytes segment of a chunk (the last one may be shorter), as a check
// of the whole chunk found them, for the chunk of that length and CRC-32C.
struct AZT_API ChunkSegments {
    uint64_t bytes = 0;
    uint32_t crc32c = 0;
    std::vector<uint32_t> sums;
};

class AZT_API BackupReader {
public:
    // The stretch of a chunk checked before its lines are handed out: 4 bytes of checksum are
    // kept per segment, and the reader's buffer holds one segment and a line cut at its end.
    static constexpr size_t kSegmentBytes = size_t(1) << 18;

    // Opens the backup in `folder`. Refuses (nullptr, `error` set) a folder without a readable
    // manifest (one that fails its own checksum included), unless `allowIncomplete` a backup
    // that has not finished, and a finished backup whose folder holds a data file the manifest
    // does not list.
    static std::unique_ptr<BackupReader> open(const std::string& folder, std::string& error,
                                              FileSystem& fs = posixFileSystem(), bool allowIncomplete = false);
    ~BackupReader();
    BackupReader(const BackupReader&) = delete;
    BackupReader& operator=(const BackupReader&) = delete;

    const BackupManifest& manifest() const { return m_manifest; }
    const std::string& folder() const { return m_folder; }

    // The description.json text, exactly as stored. False (errorMessage set) when unreadable.
    bool readDescription(std::string& text);
    // The metadata.json text. False (errorMessage set) when unreadable.
    bool readMetadata(std::string& text);

    // The next entity line, without its line feed. False at the end of the backup or on an
    // error; tell them apart with error().
    bool nextLine(std::string& line);
    // The same for every whole line the read buffer holds (at least one): points `lines` at
    // them, each with its line feed, `size` bytes in all, valid until the next call. For a
    // caller that passes lines on as they are, without a copy of each.
    bool nextLines(char*& lines, size_t& size);
    bool error() const { return !m_error.empty(); }
    const std::string& errorMessage() const { return m_error; }
    uint64_t linesRead() const { return m_linesRead; }

    // Checks the whole backup without handing out lines: that no data file is missing or (in a
    // finished backup) unlisted; description.json and metadata.json against the length and CRC-32C
    // the manifest records and, with or without those, that they are the JSON the backup writes
    // (metadata naming the manifest's account, table, kind and bounds); and every chunk read in
    // full, a block at a time, against its length, line count and CRC-32C, with each line a
    // JSON object, and the key set (when there is one) the same way. False with `error` naming
    // the folder, the file, what is wrong and, where it applies, the byte offset. `bytesVerified` (when given; readable from any thread) grows
    // by the chunk bytes checked, up to manifest().totalBytes().
    // `segments` (when given) receives, for each chunk in manifest order, its segment checksums
    // (for useSegments).
    bool verify(std::string& error, std::atomic<uint64_t>* bytesVerified = nullptr,
                std::vector<ChunkSegments>* segments = nullptr);
    // Segment checksums of the chunks, in manifest order, from an earlier check (verify's): a
    // chunk whose recorded length and CRC-32C they match is not read a separate time for its
    // check before its lines; each segment is still checked against them before its lines are
    // handed out. Call before the first line is read.
    void useSegments(std::vector<ChunkSegments> segments) { m_knownSegments = std::move(segments); }
    // Checks one chunk (index into manifest().chunks) by a streaming pass: presence, length,
    // line count and CRC-32C.
    bool verifyChunk(size_t index, std::string& error);
    // Hands every line of the key set (without its line feed) to `each`, in order; false with
    // `error` when the backup has none or it does not match its length, line count and CRC-32C
    // (which is found only at the end: the lines handed out until then are not to be trusted).
    bool readKeySet(const std::function<void(const char* line, size_t size)>& each, std::string& error);

private:
    BackupReader(std::string folder, BackupManifest manifest, FileSystem& fs);
    std::string pathOf(const std::string& file) const;
    // verifyChunk; `thorough` adds the line checks and locates damage.
    bool checkChunk(size_t index, bool thorough, std::atomic<uint64_t>* bytesVerified, std::string& error);
    // The same for any file listed like a chunk; `kind` names it in messages ("chunk", "key set").
    bool checkDataFile(const char* kind, const ChunkInfo& chunk, bool thorough, std::atomic<uint64_t>* bytesVerified,
                       std::string& error, std::vector<uint32_t>* segmentSums = nullptr);
    bool checkSmallFile(const char* name, const FileChecksum& sum, std::string& text, std::string& error);
    bool openNextChunk();
    // No complete line is left in the buffer: reads more of the chunk, or once it is all read
    // checks that it ended as the manifest says and opens the next. False at the end or on error.
    bool moreLines();
    bool fillBuffer();
    bool fail(const std::string& message);

    std::string m_folder;
    BackupManifest m_manifest;
    FileSystem& m_fs;
    std::string m_error;

    size_t m_nextChunk = 0;               // index of the chunk to open next
    std::unique_ptr<ReadableFile> m_file;  // the chunk being split into lines
    uint64_t m_chunkRemaining = 0;        // bytes of the current chunk not yet read
    uint64_t m_chunkLines = 0;            // lines handed out from the current chunk
    uint64_t m_chunkOffset = 0;           // bytes of the current chunk read so far
    std::vector<uint32_t> m_chunkSums;    // the current chunk's segment checksums
    std::vector<ChunkSegments> m_knownSegments;
    std::string m_buffer;     // bytes [m_bufferPos, m_bufferEnd) are read and not yet handed out
    size_t m_bufferPos = 0;
    size_t m_bufferEnd = 0;
    uint64_t m_linesRead = 0;
};

}  // namespace store
}  // namespace platform
