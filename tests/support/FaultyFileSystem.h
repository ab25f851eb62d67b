#pragma once
// A FileSystem wrapper for tests that injects the faults a backup store must survive: the Nth
// write or fsync fails (a write may first put half its bytes down, as a full disk does), and
// dropUnsyncedData() simulates a crash by cutting every file written through it back to the
// length it had at its last successful sync. Counting starts when a fault is armed.
//
// Renames and truncations are taken as durable at once (as a journaling file system orders
// them); only appended data waits for sync. Thread-safe.
#include <functional>
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
    void dropUnsyncedData() {
        std::lock_guard<std::mutex> l(m_mutex);
        for (const auto& entry : m_durableSize) {
            uint64_t size = 0;
            std::string error;
            if (m_base.fileSize(entry.first, size) && size > entry.second) m_base.truncate(entry.first, entry.second, error);
        }
    }
    // Every path opened with openTruncate, in order.
    std::vector<std::string> truncatedPaths() const { std::lock_guard<std::mutex> l(m_mutex); return m_truncated; }

    std::unique_ptr<platform::store::WritableFile> openAppend(const std::string& path, std::string& error) override {
        uint64_t size = 0;
        bool existed = m_base.fileSize(path, size);
        auto inner = m_base.openAppend(path, error);
        std::lock_guard<std::mutex> l(m_mutex);
        if (inner) m_durableSize.emplace(path, existed ? size : 0);  // an already known size stays
        return wrap(path, std::move(inner));
    }
    std::unique_ptr<platform::store::WritableFile> openTruncate(const std::string& path, std::string& error) override {
        auto inner = m_base.openTruncate(path, error);
        std::lock_guard<std::mutex> l(m_mutex);
        if (inner) m_durableSize[path] = 0, m_truncated.push_back(path);
        return wrap(path, std::move(inner));
    }
    std::unique_ptr<platform::store::ReadableFile> openRead(const std::string& path, std::string& error) override {
        std::function<void(const std::string&)> hook;
        { std::lock_guard<std::mutex> l(m_mutex); hook = m_onOpenRead; }
        if (hook) hook(path);
        return m_base.openRead(path, error);
    }
    // Called with the path before each openRead: a test may change the file there.
    void onOpenRead(std::function<void(const std::string&)> hook) {
        std::lock_guard<std::mutex> l(m_mutex);
        m_onOpenRead = std::move(hook);
    }
    bool exists(const std::string& path) override { return m_base.exists(path); }
    bool fileSize(const std::string& path, uint64_t& size) override { return m_base.fileSize(path, size); }
    bool truncate(const std::string& path, uint64_t size, std::string& error) override {
        if (!m_base.truncate(path, size, error)) return false;
        std::lock_guard<std::mutex> l(m_mutex);
        auto found = m_durableSize.find(path);
        if (found != m_durableSize.end() && found->second > size) found->second = size;
        return true;
    }
    bool rename(const std::string& from, const std::string& to, std::string& error) override {
        if (!m_base.rename(from, to, error)) return false;
        std::lock_guard<std::mutex> l(m_mutex);
        auto found = m_durableSize.find(from);
        if (found != m_durableSize.end()) m_durableSize[to] = found->second, m_durableSize.erase(found);
        return true;
    }
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
    std::function<void(const std::string&)> m_onOpenRead;
    class File : public platform::store::WritableFile {
    public:
        File(FaultyFileSystem* fs, std::string path, std::unique_ptr<WritableFile> inner)
            : m_fs(fs), m_path(std::move(path)), m_inner(std::move(inner)) {}
        bool append(const char* data, size_t size) override {
            bool partial = false;
            if (m_fs->allowAppend(partial)) return m_inner->append(data, size);
            if (partial && size > 1) m_inner->append(data, size / 2);
            return false;
        }
        bool sync() override {
            if (!m_fs->allowSync() || !m_inner->sync()) return false;
            uint64_t size = 0;
            if (!m_fs->m_base.fileSize(m_path, size)) return true;
            std::lock_guard<std::mutex> l(m_fs->m_mutex);
            m_fs->m_durableSize[m_path] = size;
            return true;
        }
        bool close() override { return m_inner->close(); }

    private:
        FaultyFileSystem* m_fs;
        std::string m_path;
        std::unique_ptr<WritableFile> m_inner;
    };

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
                                                        std::unique_ptr<platform::store::WritableFile> inner) {
        return inner ? std::make_unique<File>(this, path, std::move(inner)) : nullptr;
    }

    platform::store::FileSystem& m_base;
    mutable std::mutex m_mutex;
    int m_appends = 0, m_syncs = 0, m_failWriteAt = 0, m_failSyncAt = 0;
    bool m_partialWrite = false, m_failAllSyncs = false;
    std::map<std::string, uint64_t> m_durableSize;
    std::vector<std::string> m_truncated;
};

}  // namespace testing_support
