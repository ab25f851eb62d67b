#pragma once
// A table's key set as a restore uses it: which entities the table held when a job that tracks
// deletions listed its keys (keys.jsonl of the backup, see BackupFormat.h), and the filter that
// leaves the other entities out of a replay.
//
// The set keeps a 64-bit hash of each key, sorted and indexed by its top bits: about 10 bytes
// per entity whatever the keys' length.
// A key the set does not hold is taken for held with a chance of about n / 2^64 for n keys (5 in
// 10^11 for a billion), which can only bring back an entity that was deleted: the set never
// leaves out an entity it holds, nor has one deleted.
//
// Ownership: both are plain values, used by one thread at a time. Failure: load() leaves the set
// empty and says why.
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/util/Export.h"
#include "platform/util/Status.h"

namespace platform {
namespace store {
class FileSystem;
}
}  // namespace platform

namespace AzureTableIDA {

class AZT_API KeySet {
public:
    static uint64_t hashOf(const std::string& partitionKey, const std::string& rowKey);

    // Reads the key set of the backup in `folder`, checking its length, line count and CRC-32C
    // and that every line names both keys (Damaged otherwise).
    platform::Status load(platform::store::FileSystem& fs, const std::string& folder);
    // One key more (one at a time: load() is the way for many).
    void add(const std::string& partitionKey, const std::string& rowKey);
    bool contains(const std::string& partitionKey, const std::string& rowKey) const;
    size_t size() const { return m_hashes.size(); }

private:
    void index();
    size_t bucketOf(uint64_t hash) const { return m_bucketBits ? static_cast<size_t>(hash >> (64 - m_bucketBits)) : 0; }

    std::vector<uint64_t> m_hashes;  // sorted, each once
    // Where each bucket of hashes (by their top m_bucketBits bits) starts in m_hashes; one more
    // entry at the end.
    std::vector<size_t> m_buckets = {0, 0};
    unsigned m_bucketBits = 0;
};

// Passes on the lines whose key the set holds, block by block (a line may span two blocks).
// Lines whose keys cannot be read are passed on: the replay refuses them as it would without
// the filter. Only the start of a line is read, up to its keys.
class AZT_API KeySetFilter {
public:
    // `keepLeftOut`: remember the keys of the lines left out (what a restore into an existing
    // table deletes there).
    KeySetFilter(const KeySet& keys, bool keepLeftOut);
    KeySetFilter(const KeySetFilter&) = delete;
    KeySetFilter& operator=(const KeySetFilter&) = delete;

    // Appends the kept complete lines of what came so far, with their line feeds, to `out`.
    void filter(const char* data, size_t size, std::string& out);
    // Bytes of a line not yet ended (a chunk ends with its last line's feed: 0 between chunks).
    size_t pending() const { return m_partial.size(); }
    unsigned long long leftOut() const { return m_leftOut; }
    const std::set<std::pair<std::string, std::string>>& leftOutKeys() const { return m_leftOutKeys; }

private:
    void line(const char* text, size_t size, std::string& out);

    const KeySet& m_keys;
    bool m_keepLeftOut;
    std::string m_partial;
    std::string m_partitionKey, m_rowKey;  // of the line being read
    unsigned long long m_leftOut = 0;
    std::set<std::pair<std::string, std::string>> m_leftOutKeys;
};

}  // namespace AzureTableIDA
