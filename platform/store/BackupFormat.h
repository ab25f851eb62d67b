#pragma once
// The on-disk format of one table's backup (one folder per table and job):
//
//   backup.json        the manifest: what the backup covers, its chunks with their sizes and
//                      checksums, the length and CRC-32C of description.json and metadata.json,
//                      the restart string of the last durable page, and last a CRC-32C of its own
//                      bytes before that member. Replaced atomically (temp, fsync, rename) only
//                      after the data it lists is durable.
//   description.json   the table's description text, exactly as the backup wrote it.
//   metadata.json      what the backup covers (account, table, kind, time bounds); the restore
//                      of an incremental backup checks that it is readable.
//   data-000001.jsonl  entity lines (one compact JSON object + "\n" each), cut at page
//   data-000002.jsonl  boundaries once a chunk reaches the configured size. Numbered from 1
//                      without gaps, in the order the manifest lists them.
//   keys.jsonl         only in the backups of a job that tracks deletions: the key of every
//                      entity the table held just after the scan (one {"PartitionKey":..,
//                      "RowKey":..} object per line, as a keys-only listing returns it), written
//                      once the scan is complete and recorded in the manifest like a chunk
//                      (length, line count, CRC-32C). A restore leaves out entities it lacks.
//   backup.lock        locked (flock) by the backup writing the folder (exclusive, its process
//                      id inside) and by restores reading it (shared).
//
// Bytes of a chunk beyond the size the manifest records are the remains of an interrupted
// write and are not part of the backup (a resumed backup truncates them away). A data file the
// manifest of a finished backup does not list is damage.
//
// Manifests written before the checksums of the manifest, description and metadata were
// recorded still read (hasChecksums() false); "bounded" then reads as true.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/util/Export.h"

namespace platform {
namespace store {

constexpr const char* kManifestFile = "backup.json";
constexpr const char* kDescriptionFile = "description.json";
constexpr const char* kMetadataFile = "metadata.json";
constexpr const char* kLockFile = "backup.lock";
constexpr const char* kKeySetFile = "keys.jsonl";
constexpr int kFormatVersion = 1;

// "data-000001.jsonl" for index 1.
AZT_API std::string chunkFileName(unsigned index);
// True for every name a data file may have ("data-*.jsonl"), listed or not.
AZT_API bool isDataFileName(const std::string& name);

// CRC-32C (Castagnoli), continuable: crc32c(crc32c(0, a), b) == crc32c(0, a + b). Uses the
// processor's CRC32 instruction where it has one (SSE4.2, checked once at run time), the table
// method elsewhere; both give the same values.
AZT_API uint32_t crc32c(uint32_t crc, const void* data, size_t size);
// The two methods on their own (tests compare them). crc32cHardware may be called only while
// crc32cHardwareAvailable() is true.
AZT_API uint32_t crc32cTable(uint32_t crc, const void* data, size_t size);
AZT_API bool crc32cHardwareAvailable();
AZT_API uint32_t crc32cHardware(uint32_t crc, const void* data, size_t size);

// The line feeds in data[0, size): the lines a block of a data file ends.
AZT_API uint64_t countLineFeeds(const char* data, size_t size);

struct AZT_API ChunkInfo {
    std::string file;     // name inside the backup folder
    uint64_t bytes = 0;   // durable length
    uint64_t lines = 0;   // entity lines in those bytes
    uint32_t crc32c = 0;  // of those bytes
};

// The length and CRC-32C of a small file of the backup (description.json, metadata.json).
struct AZT_API FileChecksum {
    bool present = false;  // false where the manifest does not record one
    uint64_t bytes = 0;
    uint32_t crc32c = 0;

    static FileChecksum of(const std::string& contents);
    bool matches(const std::string& contents) const;
};

struct AZT_API BackupManifest {
    int format = kFormatVersion;
    std::string account;
    std::string table;
    bool incremental = false;
    long long fromTime = 0;  // lower bound (exclusive), 0 = none
    long long toTime = 0;    // upper bound (inclusive), 0 = none
    // False: the scan had no upper filter and toTime is the service's time when it started.
    bool bounded = true;
    std::string restart;     // restart string after the last durable page (":" once complete)
    bool complete = false;
    uint64_t pages = 0;
    std::vector<ChunkInfo> chunks;
    FileChecksum descriptionFile;
    FileChecksum metadataFile;
    // The table's key set (keys.jsonl); file "" when the backup has none.
    ChunkInfo keySet;
    // Set by fromJson: the text carried a checksum of itself (toJson always writes one). False
    // for folders written before checksums were recorded.
    bool checksummed = false;

    bool hasChecksums() const { return checksummed; }
    bool hasKeySet() const { return !keySet.file.empty(); }
    uint64_t totalLines() const;
    uint64_t totalBytes() const;
    std::string toJson() const;
    // Refuses text that is not a manifest, a manifest whose checksum does not match its bytes,
    // and one whose chunks are not data-000001.jsonl, data-000002.jsonl, ... in order.
    static bool fromJson(const std::string& text, BackupManifest& manifest, std::string& error);
    // The metadata.json text: account, table, kind and bounds.
    std::string metadataJson() const;
    // Whether `text` is a metadata.json naming this manifest's account, table, kind and bounds.
    bool checkMetadata(const std::string& text, std::string& error) const;
    // Whether `text` is a description.json: a JSON object with a "table" member.
    static bool checkDescription(const std::string& text, std::string& error);
};

}  // namespace store
}  // namespace platform
