// Finding the jobs a point-in-time restore replays, and the table descriptions the index keeps
// for them.
#include <algorithm>
#include <ctime>
#include <sstream>

#include "agent/AzureTablePathDecoder.h"
#include "agent/AzureTableUtil.h"

namespace AzureTableIDA {

#define UTIL_LOG(level, ...) AZT_LOG_LINE(m_log, platform::log::LogWriter::level, __VA_ARGS__)

bool funcArchFileCreationTimeSort(const GetArchFileListForJobRetCC_t& a, const GetArchFileListForJobRetCC_t& b) {
    return a.creationTime < b.creationTime;
}

CTnError AzureTableUtil::getJobListByAppId(unsigned long toTime, std::vector<long long>& jobIds, KXJobID& earlierJobId,
                                           std::vector<GetArchFileListForJobRetCC_t>& archFiles,
                                           std::map<long long, unsigned long long>& jobLevels, unsigned long app,
                                           unsigned long cell) {
    earlierJobId = 0;
    if (app == 0) app = static_cast<unsigned long>(appId);
    if (app == 0) return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "No app id has been provided");
    if (cell == 0) cell = quorvCellId != 0 ? static_cast<unsigned long>(quorvCellId) : 2;

    ArMgrClientAPI jobManager(*m_runtime);
    GetJobListByAppIdArgs args;
    args.appId = app;
    std::vector<GetJobListByAppIdRetCC_t> jobs;
    int code = jobManager.getJobListByAppId(args, jobs);
    if (code > 1) {
        UTIL_LOG(Error, "Failed to get job ids for AppId[%lu]. getJobListByAppId error [%d].", app, code);
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "Error obtaining jobs for app id %lu", app);
    }
    if (code == 1 || jobs.empty()) {
        UTIL_LOG(Error, "Found no job ids for AppId[%lu]. getJobListByAppId returned [%d], %d job ids.", app, code,
                 static_cast<int>(jobs.size()));
        return CTnError();
    }
    std::vector<long long> all;
    for (const auto& job : jobs) all.push_back(job.jobId);
    UTIL_LOG(Detail, "Found [%d] jobs for appId %lu quorvcellId %lu.", static_cast<int>(all.size()), app, cell);

    GetArchFileListForJobListArgs fileArgs;
    fileArgs.quorvCellId = cell;
    fileArgs.jobIds = all;
    fileArgs.fileTypes = {ArMgrClientAPI::kIndexArchiveFile};
    code = jobManager.getArchFileListForJobList(fileArgs, archFiles);
    if (code != 0 || archFiles.empty()) {
        UTIL_LOG(Error,
                 "Failed to get archive file details or there are no index archive files for given jobs. "
                 "getArchFileListForJobList error [%d]",
                 code);
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "Failed to get archive file details or there are no index archive files for "
                                       "given jobs");
    }
    UTIL_LOG(Detail, "Found [%d] index archive files for [%d] jobs.", static_cast<int>(archFiles.size()),
             static_cast<int>(all.size()));
    std::sort(archFiles.begin(), archFiles.end(), funcArchFileCreationTimeSort);

    bool fullSelected = false;
    for (auto record = archFiles.rbegin(); record != archFiles.rend(); ++record) {
        const long long job = record->jobId;
        const unsigned long long level = record->backupLevel;
        const unsigned long created = static_cast<unsigned long>(record->creationTime);
        jobLevels[job] = level;
        if (fullSelected) {
            earlierJobId = job;
            if (level == 1) {
                UTIL_LOG(Detail, "Earlier full backup job [%lld] with createTime %lu <= toTime %lu.", job, created, toTime);
            } else if (level == 2) {
                UTIL_LOG(Detail, "Earlier incremental backup job [%lld] with createTime %lu <= toTime %lu.", job,
                         created, toTime);
            } else {
                UTIL_LOG(Info, "Earlier non-full backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.",
                         job, created, toTime, static_cast<unsigned long>(level));
                return FXErrorUtil::ErrorWin32(
                    CTN_LOCATION, CTnError::kOperationFailed,
                    "Earlier backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.  Backup type is not "
                    "supported.",
                    job, created, toTime, static_cast<unsigned long>(level));
            }
            break;
        }
        if (toTime == 0 || created <= toTime) {
            jobIds.push_back(job);
            if (level == 1) {
                UTIL_LOG(Detail, "Full backup job [%lld] with createTime %lu <= toTime %lu.", job, created, toTime);
                fullSelected = true;
            } else if (level == 2) {
                UTIL_LOG(Detail, "Incremental backup job [%lld] with createTime %lu <= toTime %lu.", job, created, toTime);
            } else {
                UTIL_LOG(Info, "Non-full backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.", job,
                         created, toTime, static_cast<unsigned long>(level));
                return FXErrorUtil::ErrorWin32(
                    CTN_LOCATION, CTnError::kOperationFailed,
                    "Backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.  Backup type is not supported.",
                    job, created, toTime, static_cast<unsigned long>(level));
            }
        } else {
            UTIL_LOG(Detail, "Skipping job [%lld] with createTime %lu > toTime %lu, backupLevel %lu.", job, created,
                     toTime, static_cast<unsigned long>(level));
        }
    }
    if (jobIds.empty()) {
        UTIL_LOG(Info, "Found [%d] jobs for appId %lu quorvcellId %lu; no jobs fit the toTime constraint of %lu.",
                 static_cast<int>(all.size()), app, cell, toTime);
    } else {
        std::sort(jobIds.begin(), jobIds.end());
        UTIL_LOG(Info, "Found [%d] jobs for appId %lu quorvcellId %lu toTime %lu, with full jobId %lld.",
                 static_cast<int>(jobIds.size()), app, cell, toTime, jobIds.front());
    }
    if (earlierJobId != 0)
        UTIL_LOG(Info, "Earlier backup found with jobId %lld type %lu.", earlierJobId,
                 static_cast<unsigned long>(jobLevels[earlierJobId]));
    return CTnError();
}

bool AzureTableUtil::browseIndex(const std::string& mediaAgent, const std::string& clientName, unsigned int option,
                                 unsigned long cell, unsigned long app, unsigned long timeStamp, const std::string& path,
                                 std::vector<std::string>& paths, std::map<int, std::string>& metadata) {
    IdaSpawnProcess spawn;
    spawn.processType = 2;
    IdaSnapUtilBase index(0, 1, false, nullptr, nullptr, spawn, *m_runtime);
    index.setCopyPrec(0);
    debugLog.Debug("browseIndex", "Browse '%s' MA '%s' timeStamp %lu appId %u clientName %s quorvCellId %u", path.c_str(),
                   mediaAgent.c_str(), timeStamp, static_cast<unsigned>(app), clientName.c_str(),
                   static_cast<unsigned>(cell));
    std::vector<IdxSubclientRequest> requests{
        IdxSubclientRequest{static_cast<unsigned>(app), 0, static_cast<unsigned>(timeStamp)}};
    std::vector<IdxArchFileEntry> entries;
    int code = index.idxGetV2IndexArchFileInfo(mediaAgent, clientName, static_cast<unsigned>(cell), requests, {path},
                                               option, 98384, 4, entries);
    if (code != 0) {
        debugLog.Error("browseIndex", "GetIndexArchFileInfo (files) failed with return code %d", code);
        return false;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        paths.push_back(entries[i].path);
        if (entries[i].metadata.size() > 1) {
            debugLog.Error("browseIndex", "Path '%s' browse returned %d meta-data items, afileId %llu jobId %llu",
                           path.c_str(), static_cast<int>(entries[i].metadata.size()), entries[i].afileId,
                           entries[i].jobId);
            return false;
        }
        if (entries[i].metadata.size() == 1) metadata[static_cast<int>(i)] = entries[i].metadata.front();
    }
    return true;
}

bool AzureTableUtil::browseIndexForTable(const std::string& account, const std::string& table, long long job,
                                         const std::string& mediaAgent, const std::string& clientName,
                                         unsigned int option, unsigned long cell, unsigned long app,
                                         IdxMetadata::DynamoDBMetadata& metadata, bool& incremental) {
    auto kind = [&] { return incremental ? "incremental" : "full"; };
    std::string path = AzureTablePathDecoder::toPath(account, table, incremental, job, "/");
    std::vector<std::string> paths;
    std::map<int, std::string> found;
    if (!browseIndex(mediaAgent, clientName, option, cell, app, 0, path, paths, found)) {
        debugLog.Debug("browseIndexForTable",
                       "Index browse for DynamoDB meta-data failed for region '%s' table '%s' job %lld %s (retrying "
                       "other backup type)",
                       account.c_str(), table.c_str(), job, kind());
        incremental = !incremental;
        path = AzureTablePathDecoder::toPath(account, table, incremental, job, "/");
        paths.clear();
        found.clear();
        if (!browseIndex(mediaAgent, clientName, option, cell, app, 0, path, paths, found)) {
            debugLog.Error("browseIndexForTable", "Index browse for DynamoDB meta-data failed for region '%s' table '%s' job %lld %s",
                           account.c_str(), table.c_str(), job, kind());
            return false;
        }
    }
    if (paths.size() == 1 && found.size() == 1) {
        IdxMetadata::DynamoDBMetadata read;
        if (read.unserialize(found.begin()->second) == 0) {
            metadata = read;
            return true;
        }
        debugLog.Error("browseIndexForTable",
                       "Index browse for DynamoDB meta-data failed for region '%s' table '%s' job %lld %s path '%s' XML "
                       "'%s' yielded invalid DynamoDB meta-data",
                       account.c_str(), table.c_str(), job, kind(), path.c_str(), found.begin()->second.c_str());
        return false;
    }
    debugLog.Error("browseIndexForTable", "Index browse for region '%s' table '%s' job %lld %s returned %d paths, %d meta-data items",
                   account.c_str(), table.c_str(), job, kind(), static_cast<int>(paths.size()),
                   static_cast<int>(found.size()));
    return false;
}

long long AzureTableUtil::GetEpochTime(std::string text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::istringstream in(text);
    std::string weekday, month, clock;
    int day = 0, year = 0;
    in >> weekday >> month >> day >> year >> clock;
    int monthIndex = -1;
    for (int i = 0; i < 12; ++i)
        if (month == kMonths[i]) monthIndex = i;
    if (monthIndex < 0) return 0;
    std::replace(clock.begin(), clock.end(), ':', ' ');
    std::istringstream parts(clock);
    int hours = 0, minutes = 0, seconds = 0;
    parts >> hours >> minutes >> seconds;
    struct tm fields {};
    fields.tm_sec = seconds;
    fields.tm_min = minutes;
    fields.tm_hour = hours;
    fields.tm_mday = day;
    fields.tm_mon = monthIndex;
    fields.tm_year = year - 1900;
    fields.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&fields));
}

}  // namespace AzureTableIDA
