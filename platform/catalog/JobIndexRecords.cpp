#include "platform/catalog/JobIndexRecords.h"

#include <algorithm>

#include "platform/catalog/Catalog.h"

namespace {

using platform::Status;

int failure(platform::Runtime& runtime, const char* function, const Status& status) {
    runtime.log().writeLine("ERROR", function, status.message);
    return status.code == Status::Code::NotFound ? 1168 : 1627;
}

}  // namespace

int ArMgrClientAPI::getJobListByAppId(const GetJobListByAppIdArgs& args, std::vector<GetJobListByAppIdRetCC_t>& jobs) {
    platform::catalog::Catalog* catalog = nullptr;
    Status status = m_runtime.catalog(catalog);
    if (!status.ok()) return failure(m_runtime, "getJobListByAppId", status);
    platform::catalog::SubclientRecord subclient;
    status = catalog->findSubclient(static_cast<long long>(args.appId), subclient);
    if (!status.ok()) return failure(m_runtime, "getJobListByAppId", status);
    std::vector<platform::catalog::JobRecord> records;
    status = catalog->listJobs(static_cast<long long>(args.appId), records);
    if (!status.ok()) return failure(m_runtime, "getJobListByAppId", status);
    for (const auto& record : records) {
        // Only a job that backed up every table of its content can stand in a restore chain.
        if (record.status != "completed") continue;
        jobs.push_back(GetJobListByAppIdRetCC_t{record.id, record.status, record.startTime});
    }
    return jobs.empty() ? 1 : 0;
}

int ArMgrClientAPI::getArchFileListForJobList(const GetArchFileListForJobListArgs& args,
                                              std::vector<GetArchFileListForJobRetCC_t>& files) {
    if (std::find(args.fileTypes.begin(), args.fileTypes.end(), kIndexArchiveFile) == args.fileTypes.end()) return 0;
    platform::catalog::Catalog* catalog = nullptr;
    Status status = m_runtime.catalog(catalog);
    if (!status.ok()) return failure(m_runtime, "getArchFileListForJobList", status);
    for (long long jobId : args.jobIds) {
        std::vector<platform::catalog::ArchiveFileRecord> records;
        status = catalog->listArchiveFiles(jobId, records);
        if (!status.ok()) return failure(m_runtime, "getArchFileListForJobList", status);
        for (const auto& record : records)
            files.push_back(GetArchFileListForJobRetCC_t{record.id, record.jobId,
                                                         static_cast<unsigned long long>(record.level),
                                                         static_cast<unsigned long long>(record.creationTime)});
    }
    return 0;
}

IdaSnapUtilBase::IdaSnapUtilBase(int, int, bool, void*, const char*, const IdaSpawnProcess&, platform::Runtime& runtime)
    : m_runtime(runtime) {}

namespace {

// The job a path names in its third field ("/acct/tab/F40" -> 40); 0 when it names none.
long long jobOfPath(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 2 > path.size()) return 0;
    const char kind = path[slash + 1];
    if (kind != 'F' && kind != 'I') return 0;
    const std::string digits = path.substr(slash + 2);
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoll(digits);
}

}  // namespace

int IdaSnapUtilBase::idxGetV2IndexArchFileInfo(const std::string&, const std::string&, unsigned int,
                                               const std::vector<IdxSubclientRequest>& requests,
                                               const std::vector<std::string>& paths, unsigned int, unsigned long, int,
                                               std::vector<IdxArchFileEntry>& entries) {
    platform::catalog::Catalog* catalog = nullptr;
    Status status = m_runtime.catalog(catalog);
    if (!status.ok()) return failure(m_runtime, "idxGetV2IndexArchFileInfo", status);
    for (const IdxSubclientRequest& request : requests) {
        std::vector<platform::catalog::JobRecord> jobs;
        status = catalog->listJobs(request.appId, jobs);
        if (!status.ok()) return failure(m_runtime, "idxGetV2IndexArchFileInfo", status);
        for (const std::string& path : paths) {
            const long long named = jobOfPath(path);
            for (const auto& job : jobs) {
                if ((named != 0 && job.id != named) ||
                    (request.timeStamp != 0 && job.referenceTime > static_cast<long long>(request.timeStamp)))
                    continue;
                std::vector<platform::catalog::IndexEntryRecord> stored;
                status = catalog->listIndexEntries(job.id, stored);
                if (!status.ok()) return failure(m_runtime, "idxGetV2IndexArchFileInfo", status);
                for (const auto& entry : stored) {
                    if (entry.path != path) continue;
                    std::vector<platform::catalog::ArchiveFileRecord> files;
                    catalog->listArchiveFiles(job.id, files);
                    IdxArchFileEntry found;
                    found.path = entry.path;
                    found.jobId = static_cast<unsigned long long>(job.id);
                    found.afileId = files.empty() ? 0 : static_cast<unsigned long long>(files.front().id);
                    found.metadata.push_back(entry.metadataXml);
                    entries.push_back(std::move(found));
                }
            }
        }
    }
    if (entries.empty()) {
        std::string asked;
        for (const auto& path : paths) asked += (asked.empty() ? "" : ", ") + path;
        return failure(m_runtime, "idxGetV2IndexArchFileInfo",
                       Status(Status::Code::NotFound, "the index holds nothing under " + asked));
    }
    return 0;
}
