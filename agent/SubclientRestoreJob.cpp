#include "agent/SubclientRestoreJob.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include <boost/make_shared.hpp>
#include <rapidjson/document.h>

#include "agent/AgentSetup.h"
#include "agent/AzureTableKeySet.h"
#include "agent/AzureTablePathDecoder.h"
#include "agent/AzureTableRemoteFileFactory.h"
#include "agent/AzureTableUtil.h"
#include "agent/SubclientBackupJob.h"
#include "agent/Subclients.h"
#include "platform/catalog/Catalog.h"
#include "platform/catalog/EvEvent.h"
#include "platform/catalog/RestoreTask.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/runtime/Runtime.h"
#include "platform/store/BackupReader.h"
#include "platform/store/RestoreEnvironment.h"
#include "platform/util/Text.h"
#include "restore/AzureTableRestore.h"
#include "restore/AzureTableRestoreJob.h"
#include "table_service/AzureTableErrors.h"
#include "table_service/AzureTableStorage.h"

namespace AzureTableIDA {

using platform::Status;
using Code = platform::Status::Code;
namespace catalog = platform::catalog;
using platform::store::BackupManifest;
using platform::store::RestoreEnvironment;

namespace {

constexpr size_t kFeedBlock = 1u << 20;

std::string pairText(const std::string& account, const std::string& table) { return account + "/" + table; }

std::string timeWords(long long seconds) {
    return seconds > 0 ? platform::text::isoTimestamp(seconds * 1000) : std::string("now");
}

std::string jobList(const std::vector<long long>& jobs) {
    std::string text;
    for (long long job : jobs) text += (text.empty() ? "" : ", ") + std::to_string(job);
    return text;
}

// The folder of one table's backup in one job of the store.
std::string folderOf(const std::string& store, unsigned long cell, long long subclient, long long job,
                     const std::string& account, const std::string& table) {
    return jobFolder(store, cell, subclient, job) + "/" + account + "/" + table;
}

// The job manager's text form, read strictly: every field GetEpochTime reads must be there and
// in range, so a typo is refused instead of being read as another time (or as none).
bool looksLikeEpochText(const std::string& text) {
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char day[8] = {0}, month[8] = {0};
    int date = 0, year = 0, h = 0, m = 0, s = 0, used = 0;
    if (std::sscanf(text.c_str(), " %3s %3s %d %d %d:%d:%d %n", day, month, &date, &year, &h, &m, &s, &used) != 7)
        return false;
    if (static_cast<size_t>(used) != text.size()) return false;
    const bool dayOk = std::any_of(std::begin(kDays), std::end(kDays), [&](const char* d) { return !std::strcmp(d, day); });
    const bool monthOk =
        std::any_of(std::begin(kMonths), std::end(kMonths), [&](const char* n) { return !std::strcmp(n, month); });
    return dayOk && monthOk && date >= 1 && date <= 31 && year >= 1970 && year <= 9999 && h >= 0 && h <= 23 &&
           m >= 0 && m <= 59 && s >= 0 && s <= 60;
}

// An exclusive lock on <home>/jobresults/job-<id>.lock for as long as the job runs, so the job
// shows as running (and, once its process is gone, as interrupted) like a backup job.
int takeJobLock(const std::string& home, long long jobId) {
    const std::string path = HomeLayout::of(home).jobResults + "/job-" + std::to_string(jobId) + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

// The plug-in as a platform loads it: the library this code lives in, opened again with dlopen.
class LoadedFactory {
public:
    ~LoadedFactory() {
        delete m_factory;
        if (m_handle) ::dlclose(m_handle);
    }
    Status load(const std::function<CloudDBRemoteFileFactory*()>& make) {
        if (make) {
            m_factory = make();
            return m_factory ? Status::success() : Status(Code::Failed, "the restore plug-in made no factory");
        }
        Dl_info info{};
        if (!::dladdr(reinterpret_cast<void*>(&GetRemoteFileFactory), &info) || !info.dli_fname)
            return Status(Code::Failed, "cannot tell which library holds the restore plug-in");
        m_handle = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_LOCAL);
        if (!m_handle)
            return Status(Code::Failed, std::string("cannot load the restore plug-in from ") + info.dli_fname + ": " +
                                            ::dlerror());
        auto entry = reinterpret_cast<CloudDBRemoteFileFactory* (*)()>(::dlsym(m_handle, "GetRemoteFileFactory"));
        if (!entry)
            return Status(Code::Failed, std::string(info.dli_fname) + " exports no GetRemoteFileFactory");
        m_factory = entry();
        return m_factory ? Status::success() : Status(Code::Failed, "the restore plug-in made no factory");
    }
    AzureTableRemoteFileRestoreFactory* factory() const {
        return dynamic_cast<AzureTableRemoteFileRestoreFactory*>(m_factory);
    }

private:
    void* m_handle = nullptr;
    CloudDBRemoteFileFactory* m_factory = nullptr;
};

}  // namespace

bool parseRestoreTime(const std::string& given, long long& seconds, std::string& why) {
    const std::string text = platform::text::trim(given);
    if (text.empty()) {
        why = "an empty text is not a time";
        return false;
    }
    std::string isoWhy;
    if (platform::text::parseTimeText(text, seconds, isoWhy)) {
        if (seconds > 0) return true;
        why = "'" + text + "' is not after 1970-01-01T00:00:00Z";
        return false;
    }
    if (looksLikeEpochText(text)) {
        AzureTableUtil util;
        seconds = util.GetEpochTime(text);
        if (seconds > 0) return true;
    }
    why = "'" + text +
          "' is not a time: give seconds since 1970, an ISO 8601 time with a zone (2026-12-06T10:00:00Z) or the job "
          "manager's form (Sun Dec 06 2026 10:00:00, local time)";
    return false;
}

bool parseRestoreTableMapping(const std::string& text, RestoreTableMapping& mapping, std::string& why) {
    auto pairOf = [](const std::string& part, std::string& account, std::string& table) {
        const size_t slash = part.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 >= part.size() ||
            part.find('/', slash + 1) != std::string::npos)
            return false;
        account = part.substr(0, slash);
        table = part.substr(slash + 1);
        return true;
    };
    mapping = RestoreTableMapping{};
    const size_t equals = text.find('=');
    const std::string source = text.substr(0, equals);
    bool ok = pairOf(source, mapping.sourceAccount, mapping.sourceTable);
    if (ok && equals != std::string::npos)
        ok = pairOf(text.substr(equals + 1), mapping.destinationAccount, mapping.destinationTable);
    if (!ok) {
        why = "'" + text + "' is not ACCOUNT/TABLE or ACCOUNT/TABLE=ACCOUNT2/TABLE2";
        return false;
    }
    return true;
}

// --- The restore

struct SubclientRestoreJob::Plan {
    struct Folder {
        long long job = 0;
        std::string path;
        std::string metadataXml;  // the index's DynamoDBMetadata of the table in that job
        std::unique_ptr<RestoreEnvironment> env;
    };
    struct Table {
        RestoreTableMapping mapping;
        std::vector<Folder> folders;  // its chain, oldest first
        size_t place = 0;             // in result.tables
        bool tracked = false;         // the newest folder holds the table's key set
        KeySet keys;
    };
    catalog::Catalog* catalog = nullptr;
    catalog::SubclientRecord subclient;
    unsigned long cell = 2;
    unsigned long destinationInstanceId = 0;
    std::map<std::string, AzureTableCredentials> credentials;  // of the destination instance
    std::vector<Table> tables;
};

SubclientRestoreJob::SubclientRestoreJob(platform::Runtime& runtime, SubclientRestoreOptions options)
    : m_runtime(runtime), m_options(std::move(options)) {}

SubclientRestoreJob::~SubclientRestoreJob() = default;

void SubclientRestoreJob::requestStop() {
    m_stop.store(true);
    m_runtime.stopToken().requestStop();
}

bool SubclientRestoreJob::stopped() const { return m_stop.load() || m_runtime.stopRequested(); }

SubclientRestoreProgress SubclientRestoreJob::progress() const {
    SubclientRestoreProgress p;
    p.phase = static_cast<SubclientRestorePhase>(m_phase.load());
    // The folder being verified and the factory's environment (which every replay of the
    // factory counts its entities in) stay alive while they are published here.
    const RestoreEnvironment* verifying = m_verifying.load();
    p.verifiedBytes = m_verifiedBytes.load() + (verifying ? verifying->verifiedBytes() : 0);
    p.totalBytes = m_totalBytes.load();
    {
        std::lock_guard<std::mutex> lock(m_writingMutex);
        const IdaEnvironment* writing = m_writing.load();
        p.entitiesWritten = writing ? writing->entitiesWritten() : m_written.load();
    }
    p.totalEntities = m_totalEntities.load();
    return p;
}

Status SubclientRestoreJob::run(SubclientRestoreResult& result) {
    result = SubclientRestoreResult{};
    const unsigned long long started = m_runtime.monotonicMs();
    Plan plan;
    Status status = check(plan, result);
    if (status.ok()) {
        if (m_options.onPlanned) m_options.onPlanned(result);
        status = write(plan, result);
    }
    for (const auto& t : result.tables) result.entitiesWritten += t.entitiesWritten;
    result.seconds = static_cast<double>(m_runtime.monotonicMs() - started) / 1000.0;
    m_phase.store(static_cast<int>(SubclientRestorePhase::Done));
    return status;
}

Status SubclientRestoreJob::check(Plan& plan, SubclientRestoreResult& result) {
    if (m_options.overwrite && m_options.useExisting)
        return Status(Code::BadUsage, "--overwrite and --use-existing exclude each other");
    Status status = openCatalog(m_runtime, plan.catalog);
    if (!status.ok()) return status;
    catalog::Catalog& c = *plan.catalog;
    if (!(status = findSubclientRecord(m_runtime, m_options.instance, m_options.backupSet, m_options.subclient,
                                       plan.subclient))
             .ok())
        return status;
    plan.cell = c.cellId();
    result.subclient = plan.subclient.name;
    result.subclientId = plan.subclient.id;
    result.toTime = m_options.toTime;
    const std::string name = "subclient " + plan.subclient.name;

    // The chain, from the job manager.
    AzureTableUtil util(static_cast<unsigned int>(plan.subclient.id), static_cast<unsigned int>(plan.cell), m_runtime);
    std::vector<long long> jobIds;
    KXJobID earlier = 0;
    std::vector<GetArchFileListForJobRetCC_t> files;
    std::map<long long, unsigned long long> levels;
    CTnError found = util.getJobListByAppId(static_cast<unsigned long>(std::max(0LL, m_options.toTime)), jobIds,
                                            earlier, files, levels, static_cast<unsigned long>(plan.subclient.id),
                                            plan.cell);
    if (found.isError()) return Status(Code::Failed, "the jobs of " + name + " cannot be listed: " + found.getMessage());
    if (jobIds.empty())
        return Status(Code::NotFound, name + " has no completed backup job" +
                                          (m_options.toTime > 0 ? " at or before " + timeWords(m_options.toTime)
                                                                : std::string()));
    result.chain = jobIds;
    if (levels[jobIds.front()] != catalog::JobRecord::Full && !m_options.useExisting)
        return Status(Code::Refused, "the jobs of " + name + " up to " + timeWords(m_options.toTime) + " (" +
                                         jobList(jobIds) +
                                         ") hold no full backup; add --use-existing to apply them to existing tables");

    // Which tables: those of the newest job of the chain.
    std::vector<catalog::JobTableRecord> newest;
    if (!(status = c.listJobTables(jobIds.back(), newest)).ok()) return status;
    std::vector<RestoreTableMapping> wanted = m_options.tables;
    if (wanted.empty())
        for (const auto& row : newest) wanted.push_back(RestoreTableMapping{row.account, row.table, "", ""});
    std::set<std::pair<std::string, std::string>> sources, destinations;
    std::map<std::string, std::string> accountOfTableName;
    for (auto& w : wanted) {
        if (w.destinationAccount.empty()) {
            w.destinationAccount = w.sourceAccount;
            w.destinationTable = w.sourceTable;
        }
        const std::string source = pairText(w.sourceAccount, w.sourceTable);
        const std::string destination = pairText(w.destinationAccount, w.destinationTable);
        bool held = false;
        for (const auto& row : newest) held = held || (row.account == w.sourceAccount && row.table == w.sourceTable);
        if (!held) {
            std::string list;
            for (const auto& row : newest) list += (list.empty() ? "" : ", ") + pairText(row.account, row.table);
            return Status(Code::NotFound, "job " + std::to_string(jobIds.back()) + ", the newest job of " + name +
                                              " up to " + timeWords(m_options.toTime) + ", holds no table " + source +
                                              " (it holds " + (list.empty() ? "none" : list) + ")");
        }
        if (!sources.emplace(w.sourceAccount, w.sourceTable).second)
            return Status(Code::BadUsage, "table " + source + " is named twice");
        // Table names are matched without regard to case by the service: Foo and foo are one table.
        if (!destinations.emplace(w.destinationAccount, platform::text::toLower(w.destinationTable)).second)
            return Status(Code::Refused, "two tables would be restored into " + destination);
        // The restore runners are kept by destination table name: one name in two accounts
        // would make the later replace the earlier.
        auto same = accountOfTableName.emplace(platform::text::toLower(w.destinationTable), w.destinationAccount);
        if (!same.second && same.first->second != w.destinationAccount)
            return Status(Code::Refused, "destination table name " + w.destinationTable + " is used in two accounts (" +
                                             same.first->second + " and " + w.destinationAccount +
                                             "); restore those tables in two runs");
    }

    std::string store;
    if (!(status = storeDirectory(m_runtime, store)).ok()) return status;
    // Each table's own chain: the jobs of the chain that hold it, from the newest that holds it whole.
    std::map<long long, std::vector<catalog::JobTableRecord>> rowsOf;
    for (long long job : jobIds)
        if (!(status = c.listJobTables(job, rowsOf[job])).ok()) return status;
    for (const auto& w : wanted) {
        Plan::Table table;
        table.mapping = w;
        table.place = result.tables.size();
        SubclientRestoreTable out;
        out.sourceAccount = w.sourceAccount;
        out.sourceTable = w.sourceTable;
        out.destinationAccount = w.destinationAccount;
        out.destinationTable = w.destinationTable;
        const std::string source = pairText(w.sourceAccount, w.sourceTable);
        std::vector<BackupManifest> manifests;
        std::vector<std::string> paths;
        for (long long job : jobIds) {
            bool held = false;
            for (const auto& row : rowsOf[job]) held = held || (row.account == w.sourceAccount && row.table == w.sourceTable);
            if (!held) continue;
            Plan::Folder folder;
            folder.job = job;
            folder.path = folderOf(store, plan.cell, plan.subclient.id, job, w.sourceAccount, w.sourceTable);
            folder.env = std::make_unique<RestoreEnvironment>(m_runtime, folder.path);
            Status opened = folder.env->open();
            if (!opened.ok()) {
                opened.message = "the backup of " + source + " in job " + std::to_string(job) + ": " + opened.message;
                return opened;
            }
            const BackupManifest& manifest = folder.env->manifest();
            if (manifest.account != w.sourceAccount || manifest.table != w.sourceTable)
                return Status(Code::Damaged, folder.path + " holds a backup of " +
                                                 pairText(manifest.account, manifest.table) + ", not of " + source);
            bool incremental = manifest.incremental;
            IdxMetadata::DynamoDBMetadata metadata;
            if (!util.browseIndexForTable(w.sourceAccount, w.sourceTable, job, "", util.clientName, 0, plan.cell,
                                          static_cast<unsigned long>(plan.subclient.id), metadata, incremental))
                return Status(Code::Damaged, "the index holds no description of table " + source + " in job " +
                                                 std::to_string(job));
            if (incremental != manifest.incremental)
                return Status(Code::Damaged, "the index calls the backup of " + source + " in job " +
                                                 std::to_string(job) + (incremental ? " incremental" : " full") +
                                                 " but its folder holds a" +
                                                 (manifest.incremental ? "n incremental" : " full") + " backup");
            metadata.serialize(folder.metadataXml);
            if (!manifest.incremental) table.folders.clear();  // a whole copy: nothing before it counts
            table.folders.push_back(std::move(folder));
        }
        if (table.folders.empty())
            return Status(Code::NotFound, "no job of the chain holds table " + source);
        for (const auto& folder : table.folders) {
            manifests.push_back(folder.env->manifest());
            paths.push_back(folder.path);
            out.jobs.push_back(folder.job);
            out.folders.push_back(folder.path);
        }
        if (manifests.front().incremental && !m_options.useExisting)
            return Status(Code::Refused, "no job of the chain holds a full backup of table " + source +
                                             "; add --use-existing to apply the incremental ones to an existing table");
        std::vector<AzureTableRestoreBackup> backups;
        Status chain = AzureTableRestoreJob::checkChain(paths, manifests, m_options.useExisting, backups, result.warnings);
        if (!chain.ok()) {
            chain.message = "table " + source + ": " + chain.message;
            return chain;
        }
        for (const auto& m : manifests) {
            out.entities += m.totalLines();
            out.bytes += m.totalBytes();
        }
        result.entities += out.entities;
        result.bytes += out.bytes;
        result.tables.push_back(out);
        plan.tables.push_back(std::move(table));
    }
    m_totalBytes.store(result.bytes);
    m_totalEntities.store(result.entities);

    // The destination instance and its credentials, account by account.
    catalog::BackupSetRecord set;
    catalog::InstanceRecord own, destination;
    if (!(status = c.findBackupSet(plan.subclient.backupSetId, set)).ok() ||
        !(status = c.findInstance(set.instanceId, own)).ok())
        return status;
    destination = own;
    if (!m_options.destinationInstance.empty() && m_options.destinationInstance != own.name) {
        status = c.findInstance(own.clientId, m_options.destinationInstance, destination);
        if (status.code == Code::NotFound)
            return Status(Code::NotFound, "there is no instance '" + m_options.destinationInstance + "'");
        if (!status.ok()) return status;
    }
    plan.destinationInstanceId = static_cast<unsigned long>(destination.id);
    {
        AzureTableUtil accounts(m_runtime);
        if (accounts.InitializeForRestore(plan.destinationInstanceId) != 0)
            return Status(Code::Failed, "the storage accounts of instance '" + destination.name + "' cannot be read");
        plan.credentials = accounts.credentialMap;
    }
    for (const auto& t : plan.tables) {
        auto found = plan.credentials.find(t.mapping.destinationAccount);
        if (found == plan.credentials.end() || found->second.accountUrl.empty() || found->second.accessKey.empty())
            return Status(Code::Refused, "instance '" + destination.name + "' has no credentials for storage account " +
                                             t.mapping.destinationAccount + " (add it with `aztable account add " +
                                             t.mapping.destinationAccount + "`)");
    }

    // Every byte of every backup read back.
    m_phase.store(static_cast<int>(SubclientRestorePhase::Verifying));
    unsigned long long done = 0;
    for (auto& t : plan.tables)
        for (auto& folder : t.folders) {
            std::string why;
            m_verifying.store(folder.env.get());
            const bool sound = folder.env->verify(why);
            m_verifying.store(nullptr);
            done += folder.env->manifest().totalBytes();
            m_verifiedBytes.store(done);
            if (!sound)
                return Status(Code::Damaged, "the backup of table " + pairText(t.mapping.sourceAccount, t.mapping.sourceTable) +
                                                 " in job " + std::to_string(folder.job) + " is damaged: " + why);
            if (stopped()) return Status(Code::Stopped, "stopped on request before anything was changed");
        }

    // What each table held at the newest job, where that job tracked deletions.
    for (auto& t : plan.tables) {
        const Plan::Folder& newest = t.folders.back();
        if (!newest.env->manifest().hasKeySet()) continue;
        Status loaded = t.keys.load(m_runtime.fileSystem(), newest.path);
        if (!loaded.ok())
            return Status(Code::Damaged, "the key set of table " + pairText(t.mapping.sourceAccount, t.mapping.sourceTable) +
                                             " in job " + std::to_string(newest.job) + " cannot be used: " + loaded.message);
        t.tracked = true;
        result.tables[t.place].deletionsTracked = true;
        result.tables[t.place].keys = t.keys.size();
    }

    // The destinations as they are now, said before anything changes.
    IdaLoggingEnvironment look("restore", m_runtime);
    for (auto& t : plan.tables) {
        SubclientRestoreTable& out = result.tables[t.place];
        AzureTableCredentials credentials = plan.credentials[t.mapping.destinationAccount];
        AzureTableStorage client(credentials, look);
        auto described = client.describeTable(t.mapping.destinationTable);
        const bool exists = described.errorKind == Success && described.result;
        if (!exists && described.errorKind != ResourceNotFound) {
            if (stopped()) return Status(Code::Stopped, "stopped on request before anything was changed");
            return Status(Code::Failed, "cannot look at destination table " +
                                            pairText(t.mapping.destinationAccount, t.mapping.destinationTable) + ": " +
                                            m_runtime.log().redact(table_service::summarizeErrorBody(described.errorMessage)));
        }
        if (!exists && m_options.useExisting)
            return Status(Code::NotFound, "table " + t.mapping.destinationTable + " does not exist in account " +
                                              t.mapping.destinationAccount + " (--use-existing never creates it)");
        out.destination = !exists ? "created" : m_options.overwrite ? "recreated" : "written-as-is";
    }
    return Status::success();
}

Status SubclientRestoreJob::write(Plan& plan, SubclientRestoreResult& result) {
    catalog::Catalog& c = *plan.catalog;
    m_phase.store(static_cast<int>(SubclientRestorePhase::Preparing));

    // The restore job and the options it runs with.
    App::AzureDbRestoreOptions azure;
    azure.setOverwrite(m_options.overwrite);
    for (const auto& t : plan.tables)
        azure.addDestinationTable(App::AzureDBTable(t.mapping.sourceAccount, t.mapping.sourceTable),
                                  App::AzureDBTable(t.mapping.destinationAccount, t.mapping.destinationTable));
    App::RestoreJobOptions options;
    options.setAzureDbRestoreOptions(azure);
    std::string xml;
    if (options.serialize(xml) != 0) return Status(Code::Failed, "the restore options cannot be written as XML");
    catalog::JobRecord job;
    job.subclientId = plan.subclient.id;
    job.level = kRestoreJobLevel;
    job.startTime = m_runtime.wallSeconds();
    job.referenceTime = m_options.toTime;
    job.status = kJobRunning;
    long long jobId = 0;
    Status status = c.addJob(job, jobId);
    if (!status.ok()) return status;
    job.id = jobId;
    result.restoreJobId = jobId;
    const int lockFd = takeJobLock(m_runtime.home(), jobId);
    struct CloseLock {
        int fd;
        ~CloseLock() {
            if (fd >= 0) ::close(fd);
        }
    } closeLock{lockFd};
    auto event = [&](int severity, const std::string& message) {
        EvEvent raised(m_runtime);
        raised.addArgument(EvEvent::TextArgument, message);
        if (severity == catalog::EventRecord::Minor) raised.MinorEvent(AzureTableUtil::kJobEventId, jobId, 0);
        else raised.MajorEvent(AzureTableUtil::kJobEventId, jobId, 0);
    };
    auto recordTables = [&]() {
        for (size_t i = 0; i < result.tables.size(); ++i) {
            const auto& t = result.tables[i];
            catalog::JobTableRecord row;
            row.jobId = jobId;
            row.ordinal = static_cast<int>(i);
            row.account = t.destinationAccount;
            row.table = t.destinationTable;
            row.status = t.status == "restored" ? "completed" : t.status == "pending" ? "" : "failed";
            row.entities = t.entitiesWritten;
            row.bytes = t.bytes;
            row.startTime = job.startTime;
            row.endTime = m_runtime.wallSeconds();
            row.failure = t.failure;
            c.putJobTable(row);
        }
    };
    auto finish = [&](Status outcome) {
        for (auto& t : result.tables)
            if (!outcome.ok() && t.status != "restored" && t.status != "failed")
                t.status = t.entitiesWritten > 0 ? "incomplete" : "pending";
        job.status = outcome.ok() ? kJobCompleted : outcome.code == Code::Stopped ? kJobInterrupted : kJobFailed;
        job.endTime = m_runtime.wallSeconds();
        job.failure = outcome.ok() ? std::string() : outcome.message;
        recordTables();
        c.updateJob(job);
        event(outcome.ok() ? catalog::EventRecord::Minor : catalog::EventRecord::Major,
              "restore job " + std::to_string(jobId) + " of subclient " + plan.subclient.name + " " + job.status +
                  (outcome.ok() ? "" : ": " + outcome.message));
        return outcome;
    };
    recordTables();
    {
        EvRstTask task(jobId, 0, nullptr, false, false, m_runtime);
        if (task.setXMLOptions(xml) != 0)
            return finish(Status(Code::Failed, "the options of restore job " + std::to_string(jobId) +
                                                   " cannot be stored in the catalog"));
    }
    event(catalog::EventRecord::Minor, "restore job " + std::to_string(jobId) + " of subclient " + plan.subclient.name +
                                           " to " + timeWords(m_options.toTime) + " started");

    // The destinations, prepared from the first backup of each table's chain.
    AzureTableUtil util(static_cast<unsigned int>(plan.subclient.id), static_cast<unsigned int>(plan.cell), m_runtime);
    util.credentialMap = plan.credentials;
    std::map<std::string, std::string> descriptions;
    for (const auto& t : plan.tables)
        descriptions[t.mapping.sourceAccount + ":" + t.mapping.sourceTable] = t.folders.front().metadataXml;
    result.serviceChanged = true;
    std::string untouched;
    CTnError prepared =
        util.ProcessRestoreOptions(boost::make_shared<EvRstTask>(jobId, 0, nullptr, false, false, m_runtime),
                                   descriptions, m_options.useExisting, untouched);
    if (prepared.isError()) {
        std::string done, why = util.loggingEnvironment.failureMessage();
        for (const auto& runner : util.restoreRunners) done += (done.empty() ? "" : ", ") + runner.first;
        util.CleanupRestore();
        return finish(Status(Code::Failed, "preparing the destination tables failed: " + prepared.getMessage() +
                                               (why.empty() ? "" : " (" + m_runtime.log().redact(why) + ")") +
                                               "; prepared before the failure: " + (done.empty() ? "none" : done)));
    }

    // The plug-in, driven object by object.
    LoadedFactory loaded;
    if (!m_options.factory && &m_runtime != &platform::defaultRuntime())
        status = Status(Code::Failed, "the restore plug-in works on the default runtime; give this job a factory");
    else
        status = loaded.load(m_options.factory);
    AzureTableRemoteFileRestoreFactory* factory = status.ok() ? loaded.factory() : nullptr;
    if (status.ok() && !factory) status = Status(Code::Failed, "the restore plug-in's factory is not this library's");
    if (status.ok()) {
        CTnError initialized = factory->Initialize(jobId);
        if (initialized.isError())
            status = Status(Code::Failed, "the restore plug-in cannot start restore job " + std::to_string(jobId) +
                                              ": " + initialized.getMessage());
    }
    if (!status.ok()) {
        util.CleanupRestore();
        return finish(status);
    }
    m_phase.store(static_cast<int>(SubclientRestorePhase::Writing));

    // One replay at a time: the input the factory routed to, the thread running its
    // startRestore, and the table it writes.
    struct Replay {
        std::shared_ptr<IdaBufferedInput> input;
        IdaEnvironment* environment = nullptr;
        unsigned long long writtenBefore = 0;
        unsigned long long startedMs = 0;
        size_t table = 0;
        bool succeeded = false;
        std::thread thread;
    } replay;
    auto environmentOf = [](const std::shared_ptr<IdaBufferedInput>& input) -> IdaEnvironment* {
        if (auto full = std::dynamic_pointer_cast<BufferedRestoreFromFull>(input))
            return full->restoreArgs() ? full->restoreArgs()->environment : nullptr;
        if (auto incremental = std::dynamic_pointer_cast<BufferedRestoreFromIncremental>(input))
            return incremental->restoreArgs() ? incremental->restoreArgs()->environment : nullptr;
        return nullptr;
    };
    unsigned long long writtenBase = 0;  // what ended replays wrote
    // Ends the current replay (its object is complete, or `failure` cut it short); its failure
    // in words, "" when it succeeded.
    auto endReplay = [&](const std::string& failure) -> std::string {
        if (!replay.input) return "";
        if (failure.empty()) replay.input->endOfObject();
        else replay.input->failDelivery(failure);
        replay.thread.join();
        SubclientRestoreTable& t = result.tables[replay.table];
        const unsigned long long written = replay.environment ? replay.environment->entitiesWritten() : 0;
        t.entitiesWritten += written - replay.writtenBefore;
        writtenBase += written - replay.writtenBefore;
        m_written.store(writtenBase);
        t.seconds += static_cast<double>(m_runtime.monotonicMs() - replay.startedMs) / 1000.0;
        std::string why;
        if (!replay.succeeded) {
            why = failure;
            if (why.empty() && replay.environment) why = replay.environment->failureMessage();
            if (why.empty()) why = replay.input->failureReason();
            if (why.empty()) why = "the replay did not write every entity (see the debug log)";
            t.status = "failed";
            t.failure = m_runtime.log().redact(why);
        }
        replay.input.reset();
        return why;
    };

    std::string failure;
    size_t failedTable = 0;
    auto fail = [&](size_t table, const std::string& why) {
        failure = why;
        failedTable = table;
    };
    // Tables whose newest job tracked deletions replay only the entities its key set holds; into
    // an existing table (useExisting) the keys left out are deleted once every replay is done.
    std::vector<std::unique_ptr<KeySetFilter>> filters(plan.tables.size());
    for (size_t i = 0; i < plan.tables.size(); ++i)
        if (plan.tables[i].tracked) filters[i].reset(new KeySetFilter(plan.tables[i].keys, m_options.useExisting));
    std::string kept;
    std::vector<size_t> remaining(plan.tables.size());  // folders not yet fed, per table
    for (size_t i = 0; i < plan.tables.size(); ++i) remaining[i] = plan.tables[i].folders.size();
    for (size_t ci = 0; ci < result.chain.size() && failure.empty(); ++ci) {
        for (size_t ti = 0; ti < plan.tables.size() && failure.empty(); ++ti) {
            Plan::Table& t = plan.tables[ti];
            Plan::Folder* folder = nullptr;
            for (auto& f : t.folders)
                if (f.job == result.chain[ci]) folder = &f;
            if (!folder) continue;
            const BackupManifest& manifest = folder->env->manifest();
            CloudConnectionDetails connection;
            connection.destinationInstanceId = plan.destinationInstanceId;
            CExtendedOptions extended;
            extended.setOption(t.mapping.sourceAccount + ":" + t.mapping.sourceTable, folder->metadataXml);
            connection.extendedOptions = extended.toString();
            const std::string objectFolder = AzureTablePathDecoder::toPath(
                t.mapping.sourceAccount, t.mapping.sourceTable, manifest.incremental, folder->job, "/");
            for (const auto& chunk : manifest.chunks) {
                if (stopped()) {
                    fail(ti, "stopped on request");
                    break;
                }
                const std::string object = objectFolder + "/" + chunk.file;
                bool sameObject = false;
                CTnError routed = factory->Process(connection, object, sameObject);
                if (routed.isError()) {
                    const size_t previous = replay.table;
                    const std::string ended = endReplay("");
                    if (!ended.empty()) fail(previous, ended);
                    else fail(ti, "the restore plug-in refused " + object + ": " + routed.getMessage());
                    break;
                }
                if (!sameObject || !replay.input) {
                    const size_t previous = replay.table;
                    const std::string ended = endReplay("");
                    if (!ended.empty()) {
                        fail(previous, ended);
                        break;
                    }
                    replay.input = factory->createObject();
                    if (!replay.input) {
                        fail(ti, "the restore plug-in gave no input for " + object);
                        break;
                    }
                    replay.environment = environmentOf(replay.input);
                    if (replay.environment && !m_writing.load()) m_writing.store(replay.environment);
                    replay.writtenBefore = replay.environment ? replay.environment->entitiesWritten() : 0;
                    replay.startedMs = m_runtime.monotonicMs();
                    replay.table = ti;
                    replay.succeeded = false;
                    std::shared_ptr<IdaBufferedInput> input = replay.input;
                    bool* succeeded = &replay.succeeded;
                    replay.thread = std::thread([input, succeeded] { *succeeded = input->startRestore(true); });
                } else {
                    replay.input->closeChunk();
                }
                // The chunk's recorded bytes, nothing after them.
                std::string why;
                auto file = m_runtime.fileSystem().openRead(folder->path + "/" + chunk.file, why);
                uint64_t left = file ? chunk.bytes : 0;
                std::string block(kFeedBlock, '\0');
                bool taken = true;
                while (file && left > 0 && taken && !stopped()) {
                    const long long n =
                        file->read(&block[0], static_cast<size_t>(std::min<uint64_t>(left, block.size())));
                    if (n <= 0) {
                        why = "it ended " + std::to_string(left) + " bytes early";
                        break;
                    }
                    left -= static_cast<uint64_t>(n);
                    if (!filters[ti]) {
                        taken = replay.input->processBuffer(&block[0], static_cast<unsigned long>(n));
                        continue;
                    }
                    kept.clear();
                    filters[ti]->filter(block.data(), static_cast<size_t>(n), kept);
                    taken = kept.empty() || replay.input->processBuffer(&kept[0], static_cast<unsigned long>(kept.size()));
                }
                if (!file || (left > 0 && taken && !stopped())) {
                    fail(ti, endReplay("cannot read " + folder->path + "/" + chunk.file + ": " + why));
                    break;
                }
                if (!taken) {  // the replay ended early: it failed
                    const std::string ended = endReplay("");
                    fail(ti, ended.empty() ? "the replay of " + object + " ended before its data" : ended);
                    break;
                }
                if (left > 0) {  // stopped part way through the chunk: the table is not whole
                    fail(ti, endReplay("stopped on request"));
                    break;
                }
            }
            if (failure.empty()) --remaining[ti];
        }
    }
    if (replay.input) {
        const size_t last = replay.table;
        const std::string ended = endReplay(failure);
        if (failure.empty() && !ended.empty()) fail(last, ended);
    }
    m_written.store(writtenBase);
    {
        std::lock_guard<std::mutex> lock(m_writingMutex);
        m_writing.store(nullptr);  // the factory's environment goes with the factory
    }
    for (size_t i = 0; i < plan.tables.size(); ++i)
        if (filters[i]) result.tables[i].entitiesLeftOut = filters[i]->leftOut();
    if (failure.empty() && !stopped() && m_options.useExisting) {
        size_t table = 0;
        const std::string why = deleteLeftOut(plan, filters, result, table);
        if (!why.empty()) fail(table, why);
    }
    const bool stoppedHere = stopped() && (failure.empty() || failure == "stopped on request");
    for (size_t i = 0; i < plan.tables.size(); ++i) {
        SubclientRestoreTable& t = result.tables[i];
        if (remaining[i] == 0 && t.status != "failed" && (failure.empty() || i != failedTable)) t.status = "restored";
        if (stoppedHere && t.status == "failed") {
            t.status = "incomplete";
            t.failure.clear();
        }
    }
    util.CleanupRestore();
    if (stoppedHere) return finish(Status(Code::Stopped, "stopped on request"));
    if (!failure.empty()) {
        SubclientRestoreTable& t = result.tables[failedTable];
        if (t.status != "failed") {
            t.status = "failed";
            t.failure = failure;
        }
        return finish(Status(Code::Failed, "table " + pairText(t.destinationAccount, t.destinationTable) + ": " +
                                               t.failure));
    }
    return finish(Status::success());
}

std::string SubclientRestoreJob::deleteLeftOut(Plan& plan, const std::vector<std::unique_ptr<KeySetFilter>>& filters,
                                              SubclientRestoreResult& result, size_t& failedTable) {
    IdaLoggingEnvironment environment("restore deletions", m_runtime);
    for (size_t i = 0; i < plan.tables.size(); ++i) {
        if (!filters[i] || filters[i]->leftOutKeys().empty()) continue;
        const RestoreTableMapping& m = plan.tables[i].mapping;
        AzureTableCredentials credentials = plan.credentials[m.destinationAccount];
        AzureTableStorage client(credentials, environment);
        SubclientRestoreTable& t = result.tables[i];
        for (const auto& key : filters[i]->leftOutKeys()) {
            failedTable = i;
            if (stopped()) return "stopped on request";
            bool existed = false;
            const int kind = client.deleteEntity(m.destinationTable, key.first, key.second, &existed);
            if (kind != Success) {
                const std::string why = kind == ResourceNotFound ? "the table is gone"
                                        : kind == Throttled     ? "the service is busy"
                                                                : "error kind " + std::to_string(kind) + " (see the log)";
                t.status = "failed";
                t.failure = "every entity was written, but deleting those deleted at the newest job failed at (" +
                            key.first + ", " + key.second + ") after " + std::to_string(t.entitiesDeleted) +
                            " deletions: " + why + "; running the same restore again finishes them";
                return t.failure;
            }
            if (existed) ++t.entitiesDeleted;
        }
    }
    return "";
}

// --- Verification

namespace {

// The first line of `bytes` bytes of `file` that is not one JSON object with a string
// PartitionKey and RowKey: its offset (where the parser stopped, else the line's start) and
// what is wrong. False when every line is sound.
bool findBadEntityLine(platform::store::ReadableFile& file, uint64_t bytes, long long& offset, std::string& what) {
    std::string buffer, block(1 << 16, '\0');
    uint64_t left = bytes, lineStart = 0;
    auto checkLine = [&](const std::string& line) {
        rapidjson::Document entity;
        entity.Parse<rapidjson::kParseValidateEncodingFlag>(line.c_str(), line.size());
        if (entity.HasParseError()) {
            offset = static_cast<long long>(lineStart + entity.GetErrorOffset());
            what = "the line at byte " + std::to_string(lineStart) + " is not valid JSON (from byte " +
                   std::to_string(offset) + ")";
            return false;
        }
        offset = static_cast<long long>(lineStart);
        if (!entity.IsObject()) {
            what = "the line at byte " + std::to_string(lineStart) + " is not a JSON object";
            return false;
        }
        for (const char* key : {"PartitionKey", "RowKey"}) {
            auto member = entity.FindMember(key);
            if (member == entity.MemberEnd() || !member->value.IsString()) {
                what = "the entity at byte " + std::to_string(lineStart) + " has no " + key;
                return false;
            }
        }
        return true;
    };
    while (left > 0) {
        long long n = file.read(&block[0], static_cast<size_t>(std::min<uint64_t>(left, block.size())));
        if (n <= 0) break;
        left -= static_cast<uint64_t>(n);
        buffer.append(block.data(), static_cast<size_t>(n));
        size_t start = 0, end;
        while ((end = buffer.find('\n', start)) != std::string::npos) {
            if (!checkLine(buffer.substr(start, end - start))) return true;
            lineStart += end - start + 1;
            start = end + 1;
        }
        buffer.erase(0, start);
    }
    if (!buffer.empty() && !checkLine(buffer)) return true;
    return false;
}

}  // namespace

Status verifyJob(platform::Runtime& runtime, long long jobId, const std::string& account, const std::string& table,
                 JobVerifyResult& result, std::atomic<unsigned long long>* bytesVerified) {
    result = JobVerifyResult{};
    result.jobId = jobId;
    const unsigned long long started = runtime.monotonicMs();
    catalog::Catalog* c = nullptr;
    Status status = openCatalog(runtime, c);
    if (!status.ok()) return status;
    catalog::JobRecord job;
    status = c->getJob(jobId, job);
    if (status.code == Code::NotFound) return Status(Code::NotFound, "there is no job " + std::to_string(jobId));
    if (!status.ok()) return status;
    if (job.level == kRestoreJobLevel)
        return Status(Code::Refused, "job " + std::to_string(jobId) + " is a restore job; it holds no backup");
    catalog::SubclientRecord subclient;
    if (c->findSubclient(job.subclientId, subclient).ok()) result.subclient = subclient.name;
    std::vector<catalog::JobTableRecord> rows;
    if (!(status = c->listJobTables(jobId, rows)).ok()) return status;
    std::string store;
    if (!(status = storeDirectory(runtime, store)).ok()) return status;

    Status outcome = Status::success();
    auto note = [&](const Status& s) {
        if (outcome.ok() || (outcome.code == Code::Refused && s.code == Code::Damaged)) outcome = s;
    };
    for (const auto& row : rows) {
        if (row.table == "*") {  // an account whose tables could not be listed: no folder
            if (account.empty())
                note(Status(Code::Refused, "job " + std::to_string(jobId) + " could not list the tables of account " +
                                               row.account + ": its backup is incomplete"));
            continue;
        }
        if (!account.empty() && (row.account != account || row.table != table)) continue;
        JobVerifyTable t;
        t.account = row.account;
        t.table = row.table;
        t.folder = folderOf(store, c->cellId(), job.subclientId, jobId, row.account, row.table);
        const std::string name = pairText(row.account, row.table);
        std::string why;
        auto reader = platform::store::BackupReader::open(t.folder, why, runtime.fileSystem(), true);
        if (!reader && row.status != "completed") {
            // The table's backup did not finish (or never began): there is nothing sound to claim.
            t.status = "incomplete";
            t.problem = "the table's backup is " + (row.status.empty() ? std::string("not started") : row.status) +
                        ": " + why;
            note(Status(Code::Refused, "job " + std::to_string(jobId) + ", table " + name + ": " + t.problem));
            result.tables.push_back(t);
            continue;
        }
        if (!reader) {
            t.status = "damaged";
            t.problem = why;
            t.object = t.folder + "/" + platform::store::kManifestFile;
            if (why.find(" holds data-") != std::string::npos || why.find("does not list") != std::string::npos)
                t.object = t.folder;
            note(Status(Code::Damaged, "job " + std::to_string(jobId) + ", table " + name + ": " + why));
            result.tables.push_back(t);
            continue;
        }
        const BackupManifest& manifest = reader->manifest();
        const std::string objects =
            AzureTablePathDecoder::toPath(row.account, row.table, manifest.incremental, jobId, "/");
        t.chunks = manifest.chunks.size();
        t.entities = manifest.totalLines();
        t.bytes = manifest.totalBytes();
        std::atomic<uint64_t> read{0};
        bool sound = reader->verify(why, &read);
        if (bytesVerified) bytesVerified->fetch_add(read.load());
        result.bytes += read.load();
        // Locate the damage: the first chunk that fails, and in it the first bad line; or, with
        // every chunk sound, the first line that is not an entity.
        for (size_t i = 0; i < manifest.chunks.size() && t.object.empty(); ++i) {
            const auto& chunk = manifest.chunks[i];
            std::string chunkWhy, openWhy;
            const bool chunkSound = sound || reader->verifyChunk(i, chunkWhy);
            long long offset = -1;
            std::string what;
            auto file = runtime.fileSystem().openRead(t.folder + "/" + chunk.file, openWhy);
            const bool badLine = file && findBadEntityLine(*file, chunk.bytes, offset, what);
            if (chunkSound && !badLine) continue;
            t.object = objects + "/" + chunk.file;
            t.offset = badLine ? offset : -1;
            if (sound) {
                sound = false;
                why = "chunk " + chunk.file + ": " + what;
            } else if (!chunkSound && badLine && why.find("at byte") == std::string::npos) {
                why += " (" + what + ")";
            }
        }
        if (!sound && t.object.empty()) {
            for (const char* file : {platform::store::kDescriptionFile, platform::store::kMetadataFile})
                if (why.find(file) != std::string::npos) t.object = objects + "/" + file;
            if (manifest.hasKeySet() && why.find(platform::store::kKeySetFile) != std::string::npos) {
                t.object = objects + "/" + platform::store::kKeySetFile;
                std::string openWhy, what;
                auto file = runtime.fileSystem().openRead(t.folder + "/" + platform::store::kKeySetFile, openWhy);
                if (file && findBadEntityLine(*file, manifest.keySet.bytes, t.offset, what)) why += " (" + what + ")";
            }
            if (t.object.empty()) t.object = objects;
        }
        if (manifest.hasKeySet()) t.keys = static_cast<long long>(manifest.keySet.lines);
        if (!sound) {
            t.status = "damaged";
            t.problem = why;
            note(Status(Code::Damaged, "job " + std::to_string(jobId) + ", table " + name + ": " + why));
        } else if (!manifest.complete) {
            t.status = "incomplete";
            t.problem = "the backup did not finish; the " + std::to_string(manifest.chunks.size()) +
                        " chunk(s) it stored are sound";
            note(Status(Code::Refused, "job " + std::to_string(jobId) + ", table " + name + ": " + t.problem));
        } else {
            t.status = "ok";
        }
        result.tables.push_back(t);
    }
    result.seconds = static_cast<double>(runtime.monotonicMs() - started) / 1000.0;
    if (!account.empty() && result.tables.empty())
        return Status(Code::NotFound, "job " + std::to_string(jobId) + " holds no table " + pairText(account, table));
    if (result.tables.empty() && outcome.ok())
        return Status(Code::Refused, "job " + std::to_string(jobId) + " backed up no table");
    return outcome;
}

}  // namespace AzureTableIDA
