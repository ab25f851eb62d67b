#include "platform/util/FXString.h"

#include <sys/stat.h>

#include <cerrno>

int FXString::Split(const std::string& text, const std::string& separator, std::vector<std::string>& fields,
                    int /*flags*/) {
    fields.clear();
    if (separator.empty()) {
        fields.push_back(text);
        return 1;
    }
    size_t from = 0;
    while (true) {
        size_t at = text.find(separator, from);
        if (at == std::string::npos) {
            fields.push_back(text.substr(from));
            break;
        }
        fields.push_back(text.substr(from, at - from));
        from = at + separator.size();
    }
    return static_cast<int>(fields.size());
}

std::string FXPath::Append(const std::string& base, const std::string& part) {
    if (base.empty()) return part;
    if (part.empty()) return base;
    size_t end = base.size();
    while (end > 1 && base[end - 1] == '/') --end;
    size_t begin = 0;
    while (begin < part.size() && part[begin] == '/') ++begin;
    std::string joined = base.substr(0, end);
    if (joined != "/") joined += '/';
    return joined + part.substr(begin);
}

namespace {

int isDirectory(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return -errno;
    return S_ISDIR(info.st_mode) ? 0 : -ENOTDIR;
}

}  // namespace

int CTnDirectory::Create(const std::string& path, bool createParents) {
    if (path.empty()) return -ENOENT;
    if (isDirectory(path) == 0) return 0;
    if (createParents) {
        size_t slash = path.find_last_of('/');
        while (slash != std::string::npos && slash > 0 && path[slash - 1] == '/') --slash;
        if (slash != std::string::npos && slash > 0) {
            int parent = Create(path.substr(0, slash), true);
            if (parent != 0) return parent;
        }
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return -errno;
    return isDirectory(path);
}
