#pragma once
// A FileSystem wrapper for tests that injects the faults a backup store must survive: the Nth
// write or fsync fails (a write may first put half its bytes down, as a full disk does), and
// dropUnsyncedData() simulates a crash by cutting every file written through it back to the
// length it had at its last successful sync. Counting starts when a fault is armed.
//
// Renames and truncations are taken as durable at once (as a journaling file system orders
// them); only appended data waits for sync. Thread-safe.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/store/FileSystem.h"

namespace testing_support {

class FaultyFileSystem : public platform::store::FileSystem {
public:
    explicit FaultyFileSystem(platform::store::FileSystem& base = platform::store::posixFileSystem());

    // The nth append from now (1-based) fails; with `partial`, half of its bytes are written first.
    void failWriteNumber(int n, bool partial = false);
    // The nth sync from now (1-based) fails and makes nothing durable.
    void failSyncNumber(int n);
    // Every append, or every sync, fails from now on (a disk gone away).
    void failAllWrites(bool fail) { std::lock_guard<std::mutex> l(m_mutex); m_failAllWrites = fail; }
    void failAllSyncs(bool fail) { std::lock_guard<std::mutex> l(m_mutex); m_failAllSyncs = fail; }
    // Cuts every file written through this wrapper back to its last synced length.
    void dropUnsyncedData();

    int appendCount() const { std::lock_guard<std::mutex> l(m_mutex); return m_appends; }
    int syncCount() const { std::lock_guard<std::mutex> l(m_mutex); return m_syncs; }
    // Every path opened with openTruncate, in order.
    std::vector<std::string> truncatedPaths() const { std::lock_guard<std::mutex> l(m_mutex); return m_truncated; }

    std::unique_ptr<platform::store::WritableFile> openAppend(const std::string& path, std::string& error) override;
    std::unique_ptr<platform::store::WritableFile> openTruncate(const std::string& path, std::string& error) override;
    std::unique_ptr<platform::store::ReadableFile> openRead(const std::string& path, std::string& error) override;
    bool exists(const std::string& path) override;
    bool fileSize(const std::string& path, uint64_t& size) override;
    bool truncate(const std::string& path, uint64_t size, std::string& error) override;
    bool rename(const std::string& from, const std::string& to, std::string& error) override;
    bool remove(const std::string& path) override;
    bool makeDirectories(const std::string& path, std::string& error) override;
    bool syncDirectory(const std::string& path, std::string& error) override;
    bool listDirectory(const std::string& path, std::vector<std::string>& names, std::string& error) override {
        return m_base.listDirectory(path, names, error);
    }
    std::unique_ptr<platform::store::FileLock> lockFile(const std::string& path, bool exclusive,
                                                        platform::store::LockFailure& failure) override {
        return m_base.lockFile(path, exclusive, failure);
    }

private:
    friend class FaultyWritableFile;
    // Decide the fate of one append/sync; true = let it through.
    bool allowAppend(bool& partial);
    bool allowSync();
    void noteSynced(const std::string& path);

    platform::store::FileSystem& m_base;
    mutable std::mutex m_mutex;
    int m_appends = 0, m_syncs = 0;
    int m_failWriteAt = 0, m_failSyncAt = 0;
    bool m_partialWrite = false, m_failAllWrites = false, m_failAllSyncs = false;
    std::map<std::string, uint64_t> m_durableSize;
    std::vector<std::string> m_truncated;
};

}  // namespace testing_support
