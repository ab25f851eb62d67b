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
    explicit FaultyFileSystem(platform::store::FileSystem& base = platform::store::posixFileSystem()) : m_base(base) {}

    // The nth append from now (1-based) fails; with `partial`, half of its bytes are written first.
    void failWriteNumber(int n, bool partial = false) {
        std::lock_guard<std::mutex> l(m_mutex);
        m_failWriteAt = m_appends + n;
        m_partialWrite = partial;
    }
    // The nth sync (of a file or a directory) from now (1-based) fails and makes nothing durable.
    void failSyncNumber(int n) { std::lock_guard<std::mutex> l(m_mutex); m_failSyncAt = m_syncs + n; }
    // Every sync fails from now on (a disk gone away).
    void failAllSyncs(bool fail) { std::lock_guard<std::mutex> l(m_mutex); m_failAllSyncs = fail; }
    // Cuts every file written through this wrapper back to its last synced length.
    void dropUnsyncedData();
    // Every path opened with openTruncate, in order.
    std::vector<std::string> truncatedPaths() const { std::lock_guard<std::mutex> l(m_mutex); return m_truncated; }

    std::unique_ptr<platform::store::WritableFile> openAppend(const std::string& path, std::string& error) override;
    std::unique_ptr<platform::store::WritableFile> openTruncate(const std::string& path, std::string& error) override;
    std::unique_ptr<platform::store::ReadableFile> openRead(const std::string& path, std::string& error) override {
        return m_base.openRead(path, error);
    }
    bool exists(const std::string& path) override { return m_base.exists(path); }
    bool fileSize(const std::string& path, uint64_t& size) override { return m_base.fileSize(path, size); }
    bool truncate(const std::string& path, uint64_t size, std::string& error) override;
    bool rename(const std::string& from, const std::string& to, std::string& error) override;
    bool remove(const std::string& path) override {
        { std::lock_guard<std::mutex> l(m_mutex); m_durableSize.erase(path); }
        return m_base.remove(path);
    }
    bool makeDirectories(const std::string& path, std::string& error) override { return m_base.makeDirectories(path, error); }
    bool syncDirectory(const std::string& path, std::string& error) override {
        if (allowSync()) return m_base.syncDirectory(path, error);
        error = "cannot sync directory " + path + ": injected fault";
        return false;
    }
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
    bool allowAppend(bool& partial) {
        std::lock_guard<std::mutex> l(m_mutex);
        partial = m_partialWrite;
        return ++m_appends != m_failWriteAt;
    }
    bool allowSync() {
        std::lock_guard<std::mutex> l(m_mutex);
        return !(++m_syncs == m_failSyncAt || m_failAllSyncs);
    }
    std::unique_ptr<platform::store::WritableFile> wrap(const std::string& path,
                                                        std::unique_ptr<platform::store::WritableFile> inner);

    platform::store::FileSystem& m_base;
    mutable std::mutex m_mutex;
    int m_appends = 0, m_syncs = 0, m_failWriteAt = 0, m_failSyncAt = 0;
    bool m_partialWrite = false, m_failAllSyncs = false;
    std::map<std::string, uint64_t> m_durableSize;
    std::vector<std::string> m_truncated;
};

}  // namespace testing_support
