// The context's small helpers around a job: running a shell command, editing a configuration
// file, separator-delimited line files, typed reads from JSON option objects, and a table
// description from its stored text. None of them touches the context's job state.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>

#include "agent/AzureTableUtil.h"
#include "platform/runtime/Runtime.h"
#include "platform/store/FileSystem.h"
#include "platform/util/FXString.h"
#include "platform/util/KxProcess.h"

#define HELPER_LOG(level, ...) AZT_LOG_LINE(m_log, platform::log::LogWriter::level, __VA_ARGS__)

namespace AzureTableIDA {

namespace {

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Replaces the file at `path` with `contents` so that neither a failed write nor a crash leaves
// it cut short: the text goes to a temp file beside it, is synced, takes the old file's mode
// (and owner, where this process may give it), and only then is renamed over it; the folder is
// synced last. A symbolic link is followed, so the link stays and its target is replaced. A new
// file gets mode 0600. `opened` tells whether the temp file could be created; on failure the
// temp file is gone and the old file untouched.
bool replaceFile(platform::store::FileSystem& fs, const std::string& path, const std::string& contents, bool& opened,
                 std::string& error) {
    std::string target = path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) target = resolved;
    struct stat old;
    const bool existed = ::stat(target.c_str(), &old) == 0;
    // Unique among the writers of this process (one call per thread at a time) and of others.
    const std::string temp = target + ".tmp." + std::to_string(static_cast<long long>(::getpid())) + "." +
                             std::to_string(static_cast<long long>(::gettid()));
    auto file = fs.openTruncate(temp, error);
    opened = file != nullptr;
    if (!file) return false;
    auto abandon = [&](const std::string& why) {
        error = why;
        file.reset();
        fs.remove(temp);
        return false;
    };
    if (existed) {
        if (::chown(temp.c_str(), old.st_uid, old.st_gid) != 0) {
            // Only a privileged process may give a file away; the mode below is what matters.
        }
        if (::chmod(temp.c_str(), old.st_mode & 07777) != 0)
            return abandon("cannot give " + temp + " the mode of " + target + ": " + std::strerror(errno));
    }
    if (!file->append(contents.data(), contents.size())) return abandon("cannot write " + temp);
    if (!file->sync()) return abandon("cannot sync " + temp);
    if (!file->close()) return abandon("cannot close " + temp);
    std::string why;
    if (!fs.rename(temp, target, why)) return abandon(why);
    return fs.syncDirectory(parentOf(target), error);
}

// The first member called `key`, or null when there is none.
const json_spirit::Value* findMember(const json_spirit::Object& object, const std::string& key) {
    for (const auto& pair : object)
        if (pair.name_ == key) return &pair.value_;
    return nullptr;
}

}  // namespace

int AzureTableUtil::ExecCmd(const std::string& command, std::string& out, std::string& err, bool echoToStdout) {
    return KxProcess::system(command + " 2>&1", out, err, 0, echoToStdout);
}

CTnError AzureTableUtil::_EditConfFileContents(const std::string& path, std::vector<std::string>& search,
                                               std::vector<std::string>& replace) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "failed to open file [%s] ",
                                       path.c_str());
    // Each search string has its replacement at the same position; a missing one would be
    // read from beyond the list, so the file is left alone instead.
    if (replace.size() < search.size())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "cannot edit file [%s]: %zu search strings but only %zu replacements",
                                       path.c_str(), search.size(), replace.size());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "failed to read file [%s]: %s",
                                       path.c_str(), std::strerror(errno));
    in.close();
    HELPER_LOG(Detail, "Conf file [%s] contents [%s]", path.c_str(), text.c_str());
    for (size_t i = 0; i < search.size(); ++i) {
        size_t at = text.find(search[i]);
        if (at != std::string::npos) text.replace(at, search[i].size(), replace[i]);
    }
    HELPER_LOG(Detail, "Conf file [%s] edited contents [%s]", path.c_str(), text.c_str());

    bool opened = false;
    std::string error;
    if (!replaceFile(runtime().fileSystem(), path, text, opened, error))
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       opened ? "failed to write file [%s] (%s); it is unchanged"
                                              : "failed to open file [%s] (%s); it is unchanged",
                                       path.c_str(), error.c_str());
    return CTnError();
}

bool AzureTableUtil::splitLines(const std::string& path, const std::string& separator,
                                std::vector<std::vector<std::string>>& rows) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::vector<std::string> fields;
    while (std::getline(in, line)) {
        FXString::Split(line, separator, fields, 0);
        rows.push_back(fields);
    }
    if (in.bad()) {
        debugLog.Error("splitLines", "Bad bit set while reading from file %s, errno=%d", path.c_str(), errno);
        return false;
    }
    return true;
}

bool AzureTableUtil::putLines(const std::string& path, const std::string& separator,
                              const std::vector<std::vector<std::string>>& rows) {
    std::string text;
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            if (i > 0) text += separator;
            text += row[i];
        }
        text += '\n';
    }
    bool opened = false;
    std::string error;
    if (!replaceFile(runtime().fileSystem(), path, text, opened, error)) {
        if (!opened)
            debugLog.Error("putLines", "Error opening file %s for write, errno=%d (%s)", path.c_str(), errno,
                           error.c_str());
        else
            debugLog.Error("putLines", "Error flushing file %s, errno=%d (%s); it is unchanged", path.c_str(), errno,
                           error.c_str());
        return false;
    }
    return true;
}

std::string AzureTableUtil::GetStringValue(const json_spirit::Object& object, const std::string& key) const {
    if (traceToStdout) std::cout << "Looking for the key= " << key << std::endl;
    const json_spirit::Value* value = findMember(object, key);
    if (value == nullptr || value->is_null()) return std::string();
    try {
        return value->get_str();
    } catch (const std::exception& e) {
        if (traceToStdout) std::cout << "key value pair " << key << "Value " << e.what() << std::endl;
    }
    return std::string();
}

bool AzureTableUtil::GetBoolean(const json_spirit::Object& object, const std::string& key) const {
    const json_spirit::Value* value = findMember(object, key);
    if (value == nullptr) {
        if (traceToStdout) std::cout << "key value pair not found" << key << " " << std::endl;
        return false;
    }
    if (value->is_null()) return false;
    try {
        return value->get_bool();
    } catch (const std::exception& e) {
        if (traceToStdout) std::cout << "key value pair" << key << "Value " << e.what() << std::endl;
    }
    return false;
}

long long AzureTableUtil::GetIntValue(const json_spirit::Object& object, const std::string& key) const {
    const json_spirit::Value* value = findMember(object, key);
    if (value == nullptr) {
        if (traceToStdout) std::cout << "key value pair not found" << key << " " << std::endl;
        return 0;
    }
    if (value->is_null()) return 0;
    try {
        return value->get_int64();
    } catch (const std::exception& e) {
        if (traceToStdout) std::cout << "key value pair" << key << "Value " << e.what() << std::endl;
    }
    return 0;
}

unsigned long long AzureTableUtil::GetUInt64Value(const json_spirit::Object& object, const std::string& key) const {
    const json_spirit::Value* value = findMember(object, key);
    if (value == nullptr) {
        if (traceToStdout) std::cout << "key value pair not found " << key << " " << std::endl;
        return 0;
    }
    if (value->is_null()) return 0;
    try {
        return value->get_uint64();
    } catch (const std::exception& e) {
        if (traceToStdout) std::cout << "key value pair" << key << "Value " << e.what() << std::endl;
    }
    return 0;
}

json_spirit::Object AzureTableUtil::GetObjectValue(const json_spirit::Object& object, const std::string& key) const {
    const json_spirit::Value* value = findMember(object, key);
    if (value == nullptr || value->is_null()) return json_spirit::Object();
    try {
        return value->get_obj();
    } catch (const std::exception& e) {
        if (traceToStdout) std::cout << "key value pair" << key << "Value " << e.what() << std::endl;
    }
    return json_spirit::Object();
}

json_spirit::Array AzureTableUtil::GetArrayValue(const json_spirit::Object& object, const std::string& key) const {
    const json_spirit::Value* value = findMember(object, key);
    if (value == nullptr || value->is_null()) return json_spirit::Array();
    try {
        return value->get_array();
    } catch (const std::exception& e) {
        if (traceToStdout) std::cout << "key value pair" << key << "Value " << e.what() << std::endl;
    }
    return json_spirit::Array();
}

std::shared_ptr<AzureTableDescription> AzureTableUtil::parseDescriptionJson(const std::string& text) const {
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    const rapidjson::Value null;
    const rapidjson::Value* value = &null;
    // Only an object has members: any other text (not JSON, an array, a bare string) describes
    // nothing and gives the description of a null value, as a missing "value" member does.
    if (!document.HasParseError() && document.IsObject()) {
        auto member = document.FindMember("value");
        if (member != document.MemberEnd()) value = &member->value;
    }
    return std::make_shared<AzureTableDescription>(*value);
}

}  // namespace AzureTableIDA
