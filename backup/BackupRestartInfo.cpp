#include "backup/BackupRestartInfo.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/util/FXString.h"

namespace AzureTableIDA {

namespace {

// The leading decimal number of `text` as atoi/atoll read it (0 when there is none), without
// their undefined behaviour on a number out of range: such a number is clamped.
long long leadingNumber(const std::string& text, long long low, long long high) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    return value < low ? low : value > high ? high : value;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

void BackupRestartInfo::initialize(const std::string& restartString) {
    if (restartString.empty()) {
        debug.Debug("initialize", "The restart string is empty");
        return;
    }
    debug.Debug("initialize", "Restart string from JM: '%s'", restartString.c_str());
    std::string items = restartString;
    replaceAll(items, "-o ", "@");
    replaceAll(items, " ", "");
    std::vector<std::string> parts, fields;
    FXString::Split(items, "@", parts, 0);
    for (const std::string& part : parts) {
        if (FXString::Split(part, "|", fields, 0) != 2) continue;
        int collect = static_cast<int>(leadingNumber(fields[0], INT_MIN, INT_MAX));
        long long offset = leadingNumber(fields[1], LLONG_MIN, LLONG_MAX);
        auto found = offsets.find(collect);
        if (found != offsets.end())
            debug.Debug("initialize", "Replacing offset %lld for collect %d with offset %lld", found->second, collect,
                        offset);
        if (offset > 0) --offset;
        offsets[collect] = offset;
    }
}

long long BackupRestartInfo::lookupCollectOffset(int collect) {
    auto found = offsets.find(collect);
    if (found == offsets.end()) {
        debug.Debug("lookupCollectOffset", "Collect %d restart offset defaults to 0", collect);
        return 0;
    }
    debug.Debug("lookupCollectOffset", "Collect %d restart offset is %lld", collect, found->second);
    return found->second;
}

}  // namespace AzureTableIDA
