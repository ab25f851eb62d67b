#include "platform/store/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace store {
namespace {

std::string describeErrno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

class PosixWritableFile : public WritableFile {
public:
    PosixWritableFile(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    ~PosixWritableFile() override { close(); }
    bool append(const char* data, size_t size) override {
        while (size > 0) {
            ssize_t n = ::write(m_fd, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
            m_sinceWriteback += static_cast<size_t>(n);
        }
#ifdef SYNC_FILE_RANGE_WRITE
        // The disk starts on what was written while more is being written, so a later sync waits
        // only for the rest (a large file written and then synced would keep the disk idle first,
        // the writer after). Only a hint: sync() alone makes anything durable.
        if (m_sinceWriteback >= kWritebackBytes) {
            ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            m_sinceWriteback = 0;
        }
#endif
        return true;
    }
    bool sync() override { return m_fd >= 0 && ::fdatasync(m_fd) == 0; }
    bool close() override {
        if (m_fd < 0) return true;
        int rc = ::close(m_fd);
        m_fd = -1;
        return rc == 0;
    }

private:
    static constexpr size_t kWritebackBytes = size_t(1) << 20;
    int m_fd;
    std::string m_path;
    size_t m_sinceWriteback = 0;  // written since writeback was last started
};

class PosixReadableFile : public ReadableFile {
public:
    explicit PosixReadableFile(int fd) : m_fd(fd) {}
    ~PosixReadableFile() override { ::close(m_fd); }
    long long read(char* buffer, size_t size) override {
        while (true) {
            ssize_t n = ::read(m_fd, buffer, size);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }

private:
    int m_fd;
};

class PosixFileLock : public FileLock {
public:
    PosixFileLock(int fd, bool exclusive) : m_fd(fd), m_exclusive(exclusive) {}
    ~PosixFileLock() override {
        // The process id of a finished writer would only mislead whoever reads the file next.
        if (m_exclusive) {
            int cleared = ::ftruncate(m_fd, 0);
            (void)cleared;  // a stale id is harmless: the lock, not the file, decides
        }
        ::close(m_fd);  // releases the lock
    }

private:
    int m_fd;
    bool m_exclusive;
};

// The process id in the first line of a lock file, 0 when there is none.
long long lockHolder(int fd) {
    char text[32] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    return std::strtoll(text, nullptr, 10);
}

class PosixFileSystem : public FileSystem {
public:
    std::unique_ptr<WritableFile> openAppend(const std::string& path, std::string& error) override {
        return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, error);
    }
    std::unique_ptr<WritableFile> openTruncate(const std::string& path, std::string& error) override {
        return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, error);
    }
    std::unique_ptr<ReadableFile> openRead(const std::string& path, std::string& error) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = describeErrno("cannot open", path);
            return nullptr;
        }
        return std::make_unique<PosixReadableFile>(fd);
    }
    bool exists(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }
    bool fileSize(const std::string& path, uint64_t& size) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return false;
        size = static_cast<uint64_t>(st.st_size);
        return true;
    }
    bool truncate(const std::string& path, uint64_t size, std::string& error) override {
        if (::truncate(path.c_str(), static_cast<off_t>(size)) == 0) return true;
        error = describeErrno("cannot truncate", path);
        return false;
    }
    bool rename(const std::string& from, const std::string& to, std::string& error) override {
        if (::rename(from.c_str(), to.c_str()) == 0) return true;
        error = describeErrno("cannot rename", from);
        return false;
    }
    bool remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
    bool makeDirectories(const std::string& path, std::string& error) override {
        std::string partial;
        size_t from = 0;
        while (from <= path.size()) {
            size_t slash = path.find('/', from);
            if (slash == std::string::npos) slash = path.size();
            partial = path.substr(0, slash);
            if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
                error = describeErrno("cannot create directory", partial);
                return false;
            }
            from = slash + 1;
        }
        return true;
    }
    bool syncDirectory(const std::string& path, std::string& error) override {
        int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            error = describeErrno("cannot open directory", path);
            return false;
        }
        bool ok = ::fsync(fd) == 0;
        if (!ok) error = describeErrno("cannot sync directory", path);
        ::close(fd);
        return ok;
    }

    bool listDirectory(const std::string& path, std::vector<std::string>& names, std::string& error) override {
        DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
        if (!dir) {
            error = describeErrno("cannot list directory", path);
            return false;
        }
        names.clear();
        errno = 0;
        while (struct dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        bool ok = errno == 0;
        if (!ok) error = describeErrno("cannot list directory", path);
        ::closedir(dir);
        return ok;
    }
    std::unique_ptr<FileLock> lockFile(const std::string& path, bool exclusive, LockFailure& failure) override {
        failure = LockFailure();
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        bool writable = fd >= 0;
        if (fd < 0 && !exclusive) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            failure.error = describeErrno("cannot open lock file", path);
            return nullptr;
        }
        while (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) {
                failure.error = describeErrno("cannot lock", path);
                ::close(fd);
                return nullptr;
            }
            failure.busy = true;
            failure.holder = lockHolder(fd);
            // Shared holders let a shared lock through: then only readers hold it.
            if (exclusive && ::flock(fd, LOCK_SH | LOCK_NB) == 0) failure.readers = true;
            ::close(fd);
            return nullptr;
        }
        if (writable) {
            std::string record = std::to_string(static_cast<long long>(::getpid())) + "\n";
            // Readers sharing the lock may write at once; only the first line is ever read.
            if (::pwrite(fd, record.data(), record.size(), 0) == static_cast<ssize_t>(record.size())) {
                int cut = ::ftruncate(fd, static_cast<off_t>(record.size()));
                (void)cut;
            }
        }
        return std::make_unique<PosixFileLock>(fd, exclusive);
    }

private:
    std::unique_ptr<WritableFile> open(const std::string& path, int flags, std::string& error) {
        int fd = ::open(path.c_str(), flags, 0600);
        if (fd < 0) {
            error = describeErrno("cannot open", path);
            return nullptr;
        }
        return std::make_unique<PosixWritableFile>(fd, path);
    }
};

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace

bool FileSystem::readFile(const std::string& path, std::string& contents, std::string& error) {
    auto file = openRead(path, error);
    if (!file) return false;
    contents.clear();
    char buffer[65536];
    while (true) {
        long long n = file->read(buffer, sizeof buffer);
        if (n < 0) {
            error = "cannot read " + path;
            return false;
        }
        if (n == 0) return true;
        contents.append(buffer, static_cast<size_t>(n));
    }
}

FileSystem& posixFileSystem() {
    static PosixFileSystem fs;
    return fs;
}

bool writeFileDurably(FileSystem& fs, const std::string& path, const std::string& contents, std::string& error) {
    // Two writers never share a temp file, whatever else keeps them apart.
    static std::atomic<unsigned long long> counter{0};
    std::string temp = path + ".tmp." + std::to_string(static_cast<long long>(::getpid())) + "." +
                       std::to_string(++counter);
    auto file = fs.openTruncate(temp, error);
    if (!file) return false;
    auto abandon = [&](const std::string& message) {
        error = message;
        file.reset();
        fs.remove(temp);
        return false;
    };
    if (!file->append(contents.data(), contents.size())) return abandon("cannot write " + temp);
    if (!file->sync()) return abandon("cannot sync " + temp);
    if (!file->close()) return abandon("cannot close " + temp);
    std::string why;
    if (!fs.rename(temp, path, why)) return abandon(why);
    return fs.syncDirectory(parentOf(path), error);
}

}  // namespace store
}  // namespace platform
