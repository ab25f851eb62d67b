#pragma once
// All file I/O of the backup store goes through one FileSystem, so tests can inject faults
// (fail the Nth write or fsync, ...) and the product uses plain POSIX calls.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/util/Export.h"

namespace platform {
namespace store {

class AZT_API WritableFile {
public:
    virtual ~WritableFile() = default;
    virtual bool append(const char* data, size_t size) = 0;
    virtual bool sync() = 0;   // data and size durable on return
    virtual bool close() = 0;
};

class AZT_API ReadableFile {
public:
    virtual ~ReadableFile() = default;
    // Reads up to `size` bytes; returns the count (0 at the end), or -1 on error.
    virtual long long read(char* buffer, size_t size) = 0;
};

// An advisory lock held on a file (flock): released when destroyed, and by the system when the
// holding process ends, so a lock file left behind never blocks a later run.
class AZT_API FileLock {
public:
    virtual ~FileLock() = default;
};

// Why lockFile returned no lock.
struct AZT_API LockFailure {
    bool busy = false;      // held by another holder; false: the lock file cannot be opened or locked
    bool readers = false;   // busy, and the holders only share it (restores reading the folder)
    long long holder = 0;   // process id the lock file names (0 when unknown)
    std::string error;      // why, in words (not busy)
};

class AZT_API FileSystem {
public:
    virtual ~FileSystem() = default;
    // Opens for appending, creating the file (mode 0600) when missing.
    virtual std::unique_ptr<WritableFile> openAppend(const std::string& path, std::string& error) = 0;
    // Creates or empties the file (mode 0600).
    virtual std::unique_ptr<WritableFile> openTruncate(const std::string& path, std::string& error) = 0;
    virtual std::unique_ptr<ReadableFile> openRead(const std::string& path, std::string& error) = 0;
    virtual bool readFile(const std::string& path, std::string& contents, std::string& error);
    virtual bool exists(const std::string& path) = 0;
    virtual bool fileSize(const std::string& path, uint64_t& size) = 0;
    virtual bool truncate(const std::string& path, uint64_t size, std::string& error) = 0;
    virtual bool rename(const std::string& from, const std::string& to, std::string& error) = 0;
    virtual bool remove(const std::string& path) = 0;
    virtual bool makeDirectories(const std::string& path, std::string& error) = 0;  // mode 0700
    virtual bool syncDirectory(const std::string& path, std::string& error) = 0;
    // The names in a directory, without "." and "..".
    virtual bool listDirectory(const std::string& path, std::vector<std::string>& names, std::string& error) = 0;
    // Locks `path` without waiting, exclusively or shared, creating the file (mode 0600) when
    // missing; a shared lock on a file that cannot be opened for writing (read-only media) is
    // taken through a read-only descriptor. The holder writes its process id into the file
    // where it may write, so a refused caller can name it. Locks of two calls conflict even
    // within one process. Null (with `failure` set) when not taken.
    virtual std::unique_ptr<FileLock> lockFile(const std::string& path, bool exclusive, LockFailure& failure) = 0;
};

AZT_API FileSystem& posixFileSystem();

// Replaces `path` with `contents` atomically and durably: temp file, fsync, rename, fsync of
// the directory. After a crash the file holds either the old or the new contents, never a mix.
// The temp file's name is unique to the call (`path`.tmp.<process id>.<counter>); a failure
// before the rename removes it.
AZT_API bool writeFileDurably(FileSystem& fs, const std::string& path, const std::string& contents,
                              std::string& error);

}  // namespace store
}  // namespace platform
