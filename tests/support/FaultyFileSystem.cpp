#include "FaultyFileSystem.h"

namespace testing_support {

using platform::store::ReadableFile;
using platform::store::WritableFile;

class FaultyWritableFile : public WritableFile {
public:
    FaultyWritableFile(FaultyFileSystem* fs, std::string path, std::unique_ptr<WritableFile> inner)
        : m_fs(fs), m_path(std::move(path)), m_inner(std::move(inner)) {}
    bool append(const char* data, size_t size) override {
        bool partial = false;
        if (!m_fs->allowAppend(partial)) {
            if (partial && size > 1) m_inner->append(data, size / 2);
            return false;
        }
        return m_inner->append(data, size);
    }
    bool sync() override {
        if (!m_fs->allowSync()) return false;
        if (!m_inner->sync()) return false;
        m_fs->noteSynced(m_path);
        return true;
    }
    bool close() override { return m_inner->close(); }

private:
    FaultyFileSystem* m_fs;
    std::string m_path;
    std::unique_ptr<WritableFile> m_inner;
};

FaultyFileSystem::FaultyFileSystem(platform::store::FileSystem& base) : m_base(base) {}

void FaultyFileSystem::failWriteNumber(int n, bool partial) {
    std::lock_guard<std::mutex> l(m_mutex);
    m_failWriteAt = m_appends + n;
    m_partialWrite = partial;
}

void FaultyFileSystem::failSyncNumber(int n) {
    std::lock_guard<std::mutex> l(m_mutex);
    m_failSyncAt = m_syncs + n;
}

bool FaultyFileSystem::allowAppend(bool& partial) {
    std::lock_guard<std::mutex> l(m_mutex);
    ++m_appends;
    partial = m_partialWrite;
    return !(m_failAllWrites || m_appends == m_failWriteAt);
}

bool FaultyFileSystem::allowSync() {
    std::lock_guard<std::mutex> l(m_mutex);
    ++m_syncs;
    return !(m_failAllSyncs || m_syncs == m_failSyncAt);
}

void FaultyFileSystem::noteSynced(const std::string& path) {
    uint64_t size = 0;
    if (!m_base.fileSize(path, size)) return;
    std::lock_guard<std::mutex> l(m_mutex);
    m_durableSize[path] = size;
}

void FaultyFileSystem::dropUnsyncedData() {
    std::lock_guard<std::mutex> l(m_mutex);
    for (const auto& entry : m_durableSize) {
        uint64_t size = 0;
        std::string error;
        if (m_base.fileSize(entry.first, size) && size > entry.second) m_base.truncate(entry.first, entry.second, error);
    }
}

std::unique_ptr<WritableFile> FaultyFileSystem::openAppend(const std::string& path, std::string& error) {
    uint64_t size = 0;
    bool existed = m_base.fileSize(path, size);
    auto inner = m_base.openAppend(path, error);
    if (!inner) return nullptr;
    {
        std::lock_guard<std::mutex> l(m_mutex);
        if (!m_durableSize.count(path)) m_durableSize[path] = existed ? size : 0;
    }
    return std::make_unique<FaultyWritableFile>(this, path, std::move(inner));
}

std::unique_ptr<WritableFile> FaultyFileSystem::openTruncate(const std::string& path, std::string& error) {
    auto inner = m_base.openTruncate(path, error);
    if (!inner) return nullptr;
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_durableSize[path] = 0;
        m_truncated.push_back(path);
    }
    return std::make_unique<FaultyWritableFile>(this, path, std::move(inner));
}

std::unique_ptr<ReadableFile> FaultyFileSystem::openRead(const std::string& path, std::string& error) {
    return m_base.openRead(path, error);
}

bool FaultyFileSystem::exists(const std::string& path) { return m_base.exists(path); }
bool FaultyFileSystem::fileSize(const std::string& path, uint64_t& size) { return m_base.fileSize(path, size); }

bool FaultyFileSystem::truncate(const std::string& path, uint64_t size, std::string& error) {
    if (!m_base.truncate(path, size, error)) return false;
    std::lock_guard<std::mutex> l(m_mutex);
    auto found = m_durableSize.find(path);
    if (found != m_durableSize.end() && found->second > size) found->second = size;
    return true;
}

bool FaultyFileSystem::rename(const std::string& from, const std::string& to, std::string& error) {
    if (!m_base.rename(from, to, error)) return false;
    std::lock_guard<std::mutex> l(m_mutex);
    auto found = m_durableSize.find(from);
    if (found != m_durableSize.end()) {
        m_durableSize[to] = found->second;
        m_durableSize.erase(from);
    }
    return true;
}

bool FaultyFileSystem::remove(const std::string& path) {
    std::lock_guard<std::mutex> l(m_mutex);
    m_durableSize.erase(path);
    return m_base.remove(path);
}

bool FaultyFileSystem::makeDirectories(const std::string& path, std::string& error) {
    return m_base.makeDirectories(path, error);
}

bool FaultyFileSystem::syncDirectory(const std::string& path, std::string& error) {
    if (!allowSync()) {
        error = "cannot sync directory " + path + ": injected fault";
        return false;
    }
    return m_base.syncDirectory(path, error);
}

}  // namespace testing_support
