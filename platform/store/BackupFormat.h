#pragma once
// The on-disk format of one table's backup (one folder per table and job):
//
//   backup.json        the manifest: what the backup covers, its chunks with their sizes and
//                      checksums, and the restart string of the last durable page. Replaced
//                      atomically (temp, fsync, rename) only after the data it lists is durable.
//   description.json   the table's description text, exactly as the backup wrote it.
//   metadata.json      what the backup covers (account, table, kind, time bounds); the restore
//                      of an incremental backup checks that it is readable.
//   data-000001.jsonl  entity lines (one compact JSON object + "\n" each), cut at page
//   data-000002.jsonl  boundaries once a chunk reaches the configured size.
//
// Bytes of a chunk beyond the size the manifest records are the remains of an interrupted
// write and are not part of the backup (a resumed backup truncates them away).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/util/Export.h"

namespace platform {
namespace store {

constexpr const char* kManifestFile = "backup.json";
constexpr const char* kDescriptionFile = "description.json";
constexpr const char* kMetadataFile = "metadata.json";
constexpr int kFormatVersion = 1;

// "data-000001.jsonl" for index 1.
AZT_API std::string chunkFileName(unsigned index);

// CRC-32C (Castagnoli), continuable: crc32c(crc32c(0, a), b) == crc32c(0, a + b).
AZT_API uint32_t crc32c(uint32_t crc, const void* data, size_t size);

struct AZT_API ChunkInfo {
    std::string file;     // name inside the backup folder
    uint64_t bytes = 0;   // durable length
    uint64_t lines = 0;   // entity lines in those bytes
    uint32_t crc32c = 0;  // of those bytes
};

struct AZT_API BackupManifest {
    int format = kFormatVersion;
    std::string account;
    std::string table;
    bool incremental = false;
    long long fromTime = 0;  // lower bound (exclusive), 0 = none
    long long toTime = 0;    // upper bound (inclusive), 0 = none
    std::string restart;     // restart string after the last durable page (":" once complete)
    bool complete = false;
    uint64_t pages = 0;
    std::vector<ChunkInfo> chunks;

    uint64_t totalLines() const;
    uint64_t totalBytes() const;
    std::string toJson() const;
    static bool fromJson(const std::string& text, BackupManifest& manifest, std::string& error);
    // The metadata.json text: account, table, kind and bounds.
    std::string metadataJson() const;
};

}  // namespace store
}  // namespace platform
