#include "agent/AzureTableKeySet.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "platform/store/BackupReader.h"
#include "table_service/TableServiceText.h"

namespace AzureTableIDA {

using platform::Status;
using Code = platform::Status::Code;

uint64_t KeySet::hashOf(const std::string& partitionKey, const std::string& rowKey) {
    const uint64_t p = std::hash<std::string_view>()(partitionKey);
    const uint64_t r = std::hash<std::string_view>()(rowKey);
    // Order matters ((a, b) is not (b, a)); the multiplier spreads p over every bit first.
    return (p * 0x9E3779B97F4A7C15ull) ^ (r + 0x632BE59BD9B4E019ull + (p << 6) + (p >> 2));
}

void KeySet::add(const std::string& partitionKey, const std::string& rowKey) {
    const uint64_t hash = hashOf(partitionKey, rowKey);
    auto at = std::lower_bound(m_hashes.begin(), m_hashes.end(), hash);
    if (at == m_hashes.end() || *at != hash) m_hashes.insert(at, hash);
    index();
}

void KeySet::index() {
    // About four hashes per bucket; the buckets are the hashes' top bits.
    m_bucketBits = 0;
    while (m_bucketBits < 40 && (size_t(4) << m_bucketBits) < m_hashes.size()) ++m_bucketBits;
    m_buckets.assign((size_t(1) << m_bucketBits) + 1, 0);
    size_t at = 0;
    for (size_t bucket = 0; bucket + 1 < m_buckets.size(); ++bucket) {
        m_buckets[bucket] = at;
        while (at < m_hashes.size() && bucketOf(m_hashes[at]) == bucket) ++at;
    }
    m_buckets.back() = m_hashes.size();
}

bool KeySet::contains(const std::string& partitionKey, const std::string& rowKey) const {
    if (m_hashes.empty()) return false;
    // A look at the bucket instead of a binary search over the whole set: one or two cache
    // misses instead of twenty.
    const uint64_t hash = hashOf(partitionKey, rowKey);
    const size_t bucket = bucketOf(hash);
    for (size_t at = m_buckets[bucket], end = m_buckets[bucket + 1]; at < end; ++at)
        if (m_hashes[at] >= hash) return m_hashes[at] == hash;
    return false;
}

Status KeySet::load(platform::store::FileSystem& fs, const std::string& folder) {
    m_hashes.clear();
    std::string error;
    auto reader = platform::store::BackupReader::open(folder, error, fs);
    if (!reader) return Status(Code::Damaged, error);
    m_hashes.reserve(static_cast<size_t>(reader->manifest().keySet.lines));
    std::string partitionKey, rowKey;
    uint64_t line = 0, badLine = 0;
    const bool read = reader->readKeySet(
        [&](const char* text, size_t size) {
            ++line;
            if (table_text::keysOf(text, size, partitionKey, rowKey)) m_hashes.push_back(hashOf(partitionKey, rowKey));
            else if (!badLine) badLine = line;
        },
        error);
    if (read && badLine)
        error = "backup " + folder + ": line " + std::to_string(badLine) + " of its key set names no PartitionKey and RowKey";
    if (!read || badLine) {
        m_hashes.clear();
        index();
        return Status(Code::Damaged, error);
    }
    std::sort(m_hashes.begin(), m_hashes.end());
    m_hashes.erase(std::unique(m_hashes.begin(), m_hashes.end()), m_hashes.end());
    index();
    return Status::success();
}

KeySetFilter::KeySetFilter(const KeySet& keys, bool keepLeftOut) : m_keys(keys), m_keepLeftOut(keepLeftOut) {}

void KeySetFilter::filter(const char* data, size_t size, std::string& out) {
    const char* end = data + size;
    while (data < end) {
        const char* feed = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
        if (!feed) {
            m_partial.append(data, static_cast<size_t>(end - data));
            return;
        }
        if (m_partial.empty()) {
            line(data, static_cast<size_t>(feed - data), out);
        } else {
            m_partial.append(data, static_cast<size_t>(feed - data));
            line(m_partial.data(), m_partial.size(), out);
            m_partial.clear();
        }
        data = feed + 1;
    }
}

void KeySetFilter::line(const char* text, size_t size, std::string& out) {
    if (table_text::keysOf(text, size, m_partitionKey, m_rowKey) && !m_keys.contains(m_partitionKey, m_rowKey)) {
        ++m_leftOut;
        if (m_keepLeftOut) m_leftOutKeys.emplace(m_partitionKey, m_rowKey);
        return;
    }
    out.append(text, size);
    out += '\n';
}

}  // namespace AzureTableIDA
