#pragma once
// All file I/O of the backup store goes through one FileSystem, so tests can inject faults
// (fail the Nth write or fsync, ...) and the product uses plain POSIX calls.
#include <cstdint>
#include <memory>
#include <string>

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
};

AZT_API FileSystem& posixFileSystem();

// Replaces `path` with `contents` atomically and durably: temp file, fsync, rename, fsync of
// the directory. After a crash the file holds either the old or the new contents, never a mix.
AZT_API bool writeFileDurably(FileSystem& fs, const std::string& path, const std::string& contents,
                              std::string& error);

}  // namespace store
}  // namespace platform
