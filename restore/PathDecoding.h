#pragma once
// The object-path grammar shared by both path decoders (restore side and agent side), which must
// decode every path identically. Internal: not part of the library's interface.
#include <cstdlib>
#include <string>
#include <vector>

namespace azt_detail {

inline void splitObjectPath(const std::string& path, const std::string& separators, std::vector<std::string>& parts) {
    std::string current;
    for (char c : path) {
        if (c == '\0') break;
        if (separators.find(c) != std::string::npos) {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
}

inline std::string objectFolderPath(const std::string& account, const std::string& table, bool incremental,
                                    long long jobId, const std::string& separator) {
    return separator + account + separator + table + separator + (incremental ? "I" : "F") + std::to_string(jobId);
}

// The six result fields of a decoder, by reference.
struct FieldRefs {
    std::string& account;
    std::string& table;
    long long& jobId;
    int& chunkNumber;
    long long& afileId;
    bool& incremental;
};

// Resets the fields, then fills them from `path` as far as it decodes.
inline int decodeObjectPath(const std::string& path, FieldRefs f) {
    f.account.clear();
    f.table.clear();
    f.jobId = -1;
    f.chunkNumber = -1;
    f.afileId = -1;
    f.incremental = false;
    if (path.empty()) return -1;
    std::vector<std::string> parts;
    splitObjectPath(path, "/\\", parts);
    const int count = static_cast<int>(parts.size());
    if (count == 1) {
        f.account = parts[0];
        return 1;
    }
    if (count == 2) {
        f.account = parts[0];
        f.table = parts[1];
        return 2;
    }
    if (count < 3 || count > 5) return -1;
    const std::string& job = parts[2];
    if (job[0] == 'F')
        f.incremental = false;
    else if (job[0] == 'I')
        f.incremental = true;
    else
        return -1;
    // atoll/atoi on purpose: leading blanks and a sign are accepted, reading stops at a non-digit.
    f.jobId = std::atoll(job.c_str() + 1);
    if (f.jobId < 1) return -1;
    f.account = parts[0];
    f.table = parts[1];
    if (count == 4) {
        f.chunkNumber = std::atoi(parts[3].c_str());
        if (f.chunkNumber < 1) return -1;
    } else if (count == 5) {
        f.afileId = std::atoll(parts[4].c_str());
        if (f.afileId < 1) return -1;
    }
    return count;
}

}  // namespace azt_detail
