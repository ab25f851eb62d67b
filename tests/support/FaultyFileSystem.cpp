#include "FaultyFileSystem.h"

namespace testing_support {

using platform::store::WritableFile;

class FaultyWritableFile : public WritableFile {
public:
    FaultyWritableFile(FaultyFileSystem* fs, std::string path, std::unique_ptr<WritableFile> inner)
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

std::unique_ptr<WritableFile> FaultyFileSystem::wrap(const std::string& path, std::unique_ptr<WritableFile> inner) {
    if (!inner) return nullptr;
    return std::make_unique<FaultyWritableFile>(this, path, std::move(inner));
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
    std::lock_guard<std::mutex> l(m_mutex);
    if (inner) m_durableSize.emplace(path, existed ? size : 0);  // an already known size stays
    return wrap(path, std::move(inner));
}

std::unique_ptr<WritableFile> FaultyFileSystem::openTruncate(const std::string& path, std::string& error) {
    auto inner = m_base.openTruncate(path, error);
    std::lock_guard<std::mutex> l(m_mutex);
    if (inner) {
        m_durableSize[path] = 0;
        m_truncated.push_back(path);
    }
    return wrap(path, std::move(inner));
}

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
        m_durableSize.erase(found);
    }
    return true;
}

}  // namespace testing_support
