#include "agent/SubclientBackupJob.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "agent/AgentSetup.h"
#include "agent/AzureTablePathDecoder.h"
#include "agent/AzureTableUtil.h"
#include "agent/Subclients.h"
#include "backup/AzureTableBackupJob.h"
#include "backup/AzureTableTaskDescriptor.h"
#include "backup/BackupRestartInfo.h"
#include "platform/catalog/EvEvent.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/runtime/Runtime.h"
#include "platform/store/BackupFormat.h"
#include "platform/util/FXString.h"
#include "table_service/AzureTableErrors.h"
#include "table_service/AzureTableStorage.h"

namespace AzureTableIDA {

const char* const kJobRunning = "running";
const char* const kJobCompleted = "completed";
const char* const kJobCompletedWithErrors = "completed with errors";
const char* const kJobFailed = "failed";
const char* const kJobInterrupted = "interrupted";

using platform::Status;
using Code = platform::Status::Code;
namespace catalog = platform::catalog;

namespace {

// Table statuses of JobTableRecord.
const char* const kTableRunning = "running";
const char* const kTableCompleted = "completed";
const char* const kTableFailed = "failed";
const char* const kTableStopped = "stopped";
// The table name of the row that records an account whose tables could not be listed.
const char* const kUnlistedTables = "*";
// The message that holds a task's name/value parameters: a list of DINameValue in field 1.
constexpr int kTaskParametersGroup = 40, kTaskParametersType = 12;

std::string lockPath(const std::string& home, long long jobId) {
    return HomeLayout::of(home).jobResults + "/job-" + std::to_string(jobId) + ".lock";
}

// An open descriptor holding the job's lock, or -1 when another process holds it (or the file
// cannot be made: `why` says).
int takeJobLock(const std::string& home, long long jobId, std::string& why) {
    const std::string path = lockPath(home, jobId);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        why = "job " + std::to_string(jobId) + " is running in another process";
        ::close(fd);
        return -1;
    }
    return fd;
}

bool jobProcessAlive(const std::string& home, long long jobId) {
    int fd = ::open(lockPath(home, jobId).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);  // also releases the lock this probe may have taken
    return held;
}

// Restore jobs of a subclient are recorded beside its backup jobs; only these hold backups.
bool isBackupLevel(int level) { return level == catalog::JobRecord::Full || level == catalog::JobRecord::Incremental; }

std::string effectiveStatus(const std::string& home, const catalog::JobRecord& job) {
    if (job.status == kJobRunning && !jobProcessAlive(home, job.id)) return kJobInterrupted;
    return job.status;
}

// The task's parameters beside the descriptor's: whether the table's backup stores a key set.
const char* const kKeySetParameter = "keySet";

std::string taskXml(const AzureTableTaskDescriptor& descriptor, bool keySet) {
    DistributedIDA::DINameValue scratch;
    std::vector<DistributedIDA::DINameValue> pairs;
    descriptor.save(scratch, pairs);
    if (keySet) pairs.emplace_back(kKeySetParameter, "1");
    CNMessageBase message(kTaskParametersGroup, kTaskParametersType);
    auto& list = message.list(1);
    for (const auto& pair : pairs) list.push_back(pair);
    std::string xml;
    message.serialize(xml);
    return xml;
}

bool readTaskXml(const std::string& xml, AzureTableTaskDescriptor& descriptor, bool& keySet) {
    CNMessageBase message(kTaskParametersGroup, kTaskParametersType);
    if (xml.empty() || message.unserialize(xml) != 0 || !message.getlist(1)) return false;
    std::map<std::string, std::string> values;
    for (const CNMessageBase& item : *message.getlist(1)) {
        DistributedIDA::DINameValue pair(item);
        values[pair.name()] = pair.value();
    }
    keySet = values[kKeySetParameter] == "1";
    return descriptor.restore(values).isSuccess();
}

std::string failureInWords(const Status& status, const AzureTableBackupJobResult& r) {
    if (r.serviceError.empty()) return status.message;
    const std::string code = table_service::errorCodeOf(r.serviceError);
    if (code == "ResourceNotFound" || code == "TableNotFound")
        return "table " + r.table + " does not exist in account " + r.account;
    return status.message + ": the service answered " + table_service::summarizeErrorBody(r.serviceError);
}

}  // namespace

// --- Order and restart string

std::vector<App::AzureDBTable> uniqueTables(const std::vector<App::AzureDBTable>& tables) {
    std::set<std::pair<std::string, std::string>> seen;
    std::vector<App::AzureDBTable> unique;
    for (const auto& table : tables)
        if (seen.emplace(table.storageAccount(), table.tableName()).second) unique.push_back(table);
    return unique;
}

std::vector<size_t> scheduleOrder(const std::vector<App::AzureDBTable>& tables) {
    std::vector<std::string> accounts;
    std::map<std::string, std::vector<size_t>> byAccount;
    for (size_t i = 0; i < tables.size(); ++i) {
        auto& list = byAccount[tables[i].storageAccount()];
        if (list.empty()) accounts.push_back(tables[i].storageAccount());
        list.push_back(i);
    }
    std::vector<size_t> order;
    for (size_t round = 0; order.size() < tables.size(); ++round)
        for (const auto& account : accounts)
            if (round < byAccount[account].size()) order.push_back(byAccount[account][round]);
    return order;
}

std::string jobRestartString(const std::vector<long long>& offsets) {
    std::string text;
    for (size_t i = 0; i < offsets.size(); ++i)
        text += (i ? " -o " : "-o ") + std::to_string(i + 1) + "|" + std::to_string(offsets[i]);
    return text;
}

std::vector<long long> jobRestartOffsets(const std::string& restart, size_t count) {
    BackupRestartInfo info;
    info.initialize(restart);
    std::vector<long long> offsets(count, 0);
    for (size_t i = 0; i < count; ++i) offsets[i] = info.lookupCollectOffset(static_cast<int>(i + 1));
    return offsets;
}

// --- The job

struct SubclientBackupJob::Table {
    catalog::JobTableRecord record;
    AzureTableCredentials credentials;
    AzureTableTaskDescriptor descriptor;
    std::string folder;
    long long offset = 0;   // as the restart string has it
    bool unlisted = false;  // the row of an account whose tables are unknown
    bool skipped = false;   // finished before this run
    bool keySet = false;    // its backup also stores the table's key set
    AzureTableBackupJob* running = nullptr;  // guarded by m_mutex
    unsigned long long entitiesThisRun = 0, bytesThisRun = 0;
    long long keys = -1;    // lines of its key set once stored
};

SubclientBackupJob::SubclientBackupJob(platform::Runtime& runtime, SubclientBackupOptions options)
    : m_runtime(runtime), m_options(std::move(options)) {
    if (m_options.parallel < 1) m_options.parallel = 1;
}

SubclientBackupJob::~SubclientBackupJob() {
    if (m_lockFd >= 0) ::close(m_lockFd);
}

void SubclientBackupJob::requestStop() {
    m_stop.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_tables)
        for (auto& table : *m_tables)
            if (table.running) table.running->requestStop();
}

SubclientBackupProgress SubclientBackupJob::progress() const {
    SubclientBackupProgress p;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_tables) return p;
    for (const auto& table : *m_tables) {
        if (table.unlisted) continue;
        ++p.tablesTotal;
        const std::string& status = table.record.status;
        if (status == kTableCompleted || status == kTableFailed) ++p.tablesDone;
        const platform::store::BackupProgress* live = table.running ? table.running->progress() : nullptr;
        p.entities += live ? live->sessionEntities.load() : table.entitiesThisRun;
        p.bytes += live ? live->sessionBytes.load() : table.bytesThisRun;
        p.keys += table.running ? table.running->keysListed() : table.keys > 0 && !table.skipped ? table.keys : 0;
    }
    return p;
}

void SubclientBackupJob::event(int severity, const std::string& message) {
    EvEvent raised(m_runtime);
    raised.addArgument(EvEvent::TextArgument, message);
    const long long id = m_jobId.load();
    switch (severity) {
    case catalog::EventRecord::Minor: raised.MinorEvent(AzureTableUtil::kJobEventId, id, 0); break;
    case catalog::EventRecord::Major: raised.MajorEvent(AzureTableUtil::kJobEventId, id, 0); break;
    default: raised.CriticalEvent(AzureTableUtil::kJobEventId, id, 0); break;
    }
}

Status SubclientBackupJob::recordRestart(const std::vector<Table>& tables) {
    // Under the lock, so the catalog never gets an older string after a newer one.
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<long long> offsets;
    for (const auto& table : tables)
        if (!table.unlisted) offsets.push_back(table.offset);
    m_job.restart = jobRestartString(offsets);
    return m_catalog->updateJob(m_job);
}

Status SubclientBackupJob::run(SubclientBackupResult& result) {
    result = SubclientBackupResult{};
    const unsigned long long started = m_runtime.monotonicMs();
    Status status = openCatalog(m_runtime, m_catalog);
    if (!status.ok()) return status;
    std::vector<Table> tables;
    status = m_options.resumeJob > 0 ? prepareResume(result, tables) : prepareNew(result, tables);
    if (m_jobId.load() == 0) return status;  // nothing was created or taken
    if (status.ok()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_tables = &tables;
        }
        runTables(tables, result);
    } else {
        result.failure = status.message;
    }
    status = finish(tables, result);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tables = nullptr;
    }
    result.seconds = static_cast<double>(m_runtime.monotonicMs() - started) / 1000.0;
    return status;
}

Status SubclientBackupJob::prepareNew(SubclientBackupResult& result, std::vector<Table>& tables) {
    catalog::SubclientRecord subclient;
    Status status = findSubclientRecord(m_runtime, m_options.instance, m_options.backupSet, m_options.subclient,
                                        subclient);
    if (!status.ok()) return status;
    const unsigned long cell = m_catalog->cellId();
    AzureTableUtil util(static_cast<unsigned int>(subclient.id), static_cast<unsigned int>(cell), m_runtime);
    long long last = 0;
    if (!subclient.configXml.empty() && util.getLastBackupRefTime(last) != 0)
        return Status(Code::Failed, "the configuration of subclient '" + subclient.name + "' cannot be read");
    App::AzureTableAgentConfig config;
    const bool trackDeletions = !subclient.configXml.empty() && config.unserialize(subclient.configXml) == 0 &&
                                config.trackDeletions();
    using Level = SubclientBackupOptions::Level;
    result.incremental = m_options.level == Level::Incremental || (m_options.level == Level::Auto && last > 0);
    if (result.incremental && last <= 0) {
        result.incremental = false;  // nothing to start from: the first backup holds everything
        result.levelChanged = true;
    }
    result.fromTime = result.incremental ? last : 0;
    result.subclient = subclient.name;
    result.subclientId = subclient.id;

    m_job = catalog::JobRecord{};
    m_job.subclientId = subclient.id;
    m_job.level = result.incremental ? catalog::JobRecord::Incremental : catalog::JobRecord::Full;
    m_job.startTime = m_runtime.wallSeconds();
    m_job.status = kJobRunning;
    // The lock is taken before the job is committed, so no one sees it running without a holder.
    std::string why;
    // Read before the transaction: the runtime opens its catalog under the lock that guards the
    // home folder, so asking for the home inside a transaction would take the two the other way round.
    const std::string home = m_runtime.home();
    status = m_catalog->inTransaction([&]() -> Status {
        // Two jobs of one subclient at once would both start from the same reference time and
        // race to store theirs.
        std::vector<catalog::JobRecord> earlier;
        Status listed = m_catalog->listJobs(subclient.id, earlier);
        if (!listed.ok()) return listed;
        for (const auto& job : earlier)
            if (isBackupLevel(job.level) && effectiveStatus(home, job) == kJobRunning)
                return Status(Code::Refused, "job " + std::to_string(job.id) + " of subclient " + subclient.name +
                                                 " is still running");
        long long id = 0;
        Status added = m_catalog->addJob(m_job, id);
        if (!added.ok()) return added;
        m_lockFd = takeJobLock(home, id, why);
        if (m_lockFd < 0) return Status(Code::Failed, why);
        m_job.id = id;
        return added;
    });
    if (!status.ok()) return status;
    m_jobId.store(m_job.id);
    result.jobId = m_job.id;
    event(catalog::EventRecord::Minor, std::string(result.incremental ? "incremental" : "full") + " backup of subclient " +
                                           subclient.name + " started");

    if (util.Initialize(cell, static_cast<unsigned long>(subclient.id), m_job.id) != 0)
        return Status(Code::Failed, "the content of subclient '" + subclient.name +
                                        "' could not be turned into tables (the log in " +
                                        HomeLayout::of(m_runtime.home()).logs + " says why)");
    result.listingFailures = util.listingFailures;
    std::vector<App::AzureDBTable>* listed = nullptr;
    util.getTables(listed);
    const std::vector<App::AzureDBTable> unique = listed ? uniqueTables(*listed) : std::vector<App::AzureDBTable>();
    m_chunkBytes = static_cast<unsigned long long>(std::max(1, util.config.getChunkSizeMB())) << 20;

    // One reference time for every table: the service's clock now, less the margin.
    long long serviceTime = 0;
    std::string clockFailure;
    std::vector<std::string> accounts;
    for (const auto& table : unique) accounts.push_back(table.storageAccount());
    for (const auto& entry : util.credentialMap) accounts.push_back(entry.first);
    for (const auto& account : accounts) {
        auto found = util.credentialMap.find(account);
        if (found == util.credentialMap.end() || util.listingFailures.count(account)) continue;
        IdaLoggingEnvironment environment("job clock", m_runtime);
        AzureTableCredentials credentials = found->second;
        AzureTableStorage client(credentials, environment);
        std::vector<std::string> names;
        if (client.queryTables(names, &clockFailure) && client.serviceTime() > 0) {
            serviceTime = client.serviceTime();
            break;
        }
    }
    if (serviceTime <= 0 && !unique.empty())
        return Status(Code::Failed, "the service's clock could not be read to fix the job's reference time" +
                                        (clockFailure.empty() ? std::string() : ": " + m_runtime.log().redact(clockFailure)));
    m_job.referenceTime = serviceTime > 0 ? serviceTime - AzureTableBackupJob::kBoundMarginSeconds
                                          : m_runtime.wallSeconds() - AzureTableBackupJob::kBoundMarginSeconds;
    result.referenceTime = m_job.referenceTime;

    std::string store;
    if (!(status = storeDirectory(m_runtime, store)).ok()) return status;
    const std::string folder = jobFolder(store, cell, subclient.id, m_job.id);
    // A table the last complete job did not back up (the content or the default subclient's
    // share changed since) has no earlier backup to build on: it is backed up whole.
    std::set<std::pair<std::string, std::string>> covered;
    if (result.incremental) {
        std::vector<catalog::JobRecord> earlier;
        m_catalog->listJobs(subclient.id, earlier);
        for (auto job = earlier.rbegin(); job != earlier.rend(); ++job) {
            if (job->id == m_job.id || job->status != kJobCompleted || !isBackupLevel(job->level)) continue;
            std::vector<catalog::JobTableRecord> rows;
            m_catalog->listJobTables(job->id, rows);
            for (const auto& row : rows) covered.emplace(row.account, row.table);
            break;
        }
    }
    tables.resize(unique.size());
    for (size_t i = 0; i < unique.size(); ++i) {
        Table& t = tables[i];
        const std::string account = unique[i].storageAccount(), name = unique[i].tableName();
        t.credentials = util.credentialMap[account];
        t.folder = folder + "/" + account + "/" + name;
        t.record.jobId = m_job.id;
        t.record.ordinal = static_cast<int>(i);
        t.record.account = account;
        t.record.table = name;
        t.descriptor.storageAccount = account;
        t.descriptor.tableName = name;
        t.descriptor.accessURL = t.credentials.accountUrl;  // the key stays with the account's record
        t.descriptor.timeStarted = m_job.referenceTime;
        t.descriptor.fromTime = covered.count({account, name}) ? result.fromTime : 0;
        t.keySet = trackDeletions;
        t.record.taskXml = taskXml(t.descriptor, t.keySet);
    }
    for (const auto& failure : util.listingFailures) {
        Table t;
        t.unlisted = true;
        t.record.jobId = m_job.id;
        t.record.ordinal = static_cast<int>(tables.size());
        t.record.account = failure.first;
        t.record.table = kUnlistedTables;
        t.record.status = kTableFailed;
        t.record.failure = "the tables of account " + failure.first + " could not be listed: " + failure.second;
        tables.push_back(std::move(t));
        event(catalog::EventRecord::Major, "job " + std::to_string(m_job.id) + ": " + tables.back().record.failure);
    }
    std::vector<long long> offsets(unique.size(), 0);
    m_job.restart = jobRestartString(offsets);
    return m_catalog->inTransaction([&]() -> Status {
        for (const auto& t : tables) {
            Status put = m_catalog->putJobTable(t.record);
            if (!put.ok()) return put;
        }
        return m_catalog->updateJob(m_job);
    });
}

Status SubclientBackupJob::prepareResume(SubclientBackupResult& result, std::vector<Table>& tables) {
    const long long id = m_options.resumeJob;
    Status status = m_catalog->getJob(id, m_job);
    if (status.code == Code::NotFound) return Status(Code::NotFound, "there is no job " + std::to_string(id));
    if (!status.ok()) return status;
    if (!isBackupLevel(m_job.level))
        return Status(Code::Refused, "job " + std::to_string(id) + " is not a backup job; there is nothing to resume");
    if (m_job.status == kJobCompleted)
        return Status(Code::Refused, "job " + std::to_string(id) + " completed; there is nothing to resume");
    std::string why;
    m_lockFd = takeJobLock(m_runtime.home(), id, why);
    if (m_lockFd < 0) return Status(Code::Refused, why);
    catalog::SubclientRecord subclient;
    if (!(status = m_catalog->findSubclient(m_job.subclientId, subclient)).ok()) return status;
    // One job of a subclient at a time, resumed ones included: two would race to store their
    // reference times.
    std::vector<catalog::JobRecord> others;
    if (!(status = m_catalog->listJobs(m_job.subclientId, others)).ok()) return status;
    const std::string home = m_runtime.home();
    for (const auto& other : others)
        if (other.id != id && isBackupLevel(other.level) && effectiveStatus(home, other) == kJobRunning)
            return Status(Code::Refused, "job " + std::to_string(other.id) + " of subclient " + subclient.name +
                                             " is still running; resume job " + std::to_string(id) + " after it");
    std::vector<catalog::JobTableRecord> rows;
    if (!(status = m_catalog->listJobTables(id, rows)).ok()) return status;

    if (rows.empty())
        return Status(Code::Refused, "job " + std::to_string(id) + " ended before its tables were known" +
                                         (m_job.failure.empty() ? std::string() : " (" + m_job.failure + ")") +
                                         "; start a new backup of subclient " + subclient.name);
    m_jobId.store(id);
    result.jobId = id;
    result.resumed = true;
    result.subclient = subclient.name;
    result.subclientId = subclient.id;
    result.incremental = m_job.level == catalog::JobRecord::Incremental;
    result.referenceTime = m_job.referenceTime;
    m_job.status = kJobRunning;
    m_job.endTime = 0;
    m_job.failure.clear();
    if (!(status = m_catalog->updateJob(m_job)).ok()) return status;
    event(catalog::EventRecord::Minor, "job " + std::to_string(id) + " of subclient " + subclient.name + " resumed");

    const unsigned long cell = m_catalog->cellId();
    AzureTableUtil util(static_cast<unsigned int>(subclient.id), static_cast<unsigned int>(cell), m_runtime);
    util.jobId = id;
    size_t listedRows = 0;
    for (const auto& row : rows)
        if (row.table != kUnlistedTables) {
            util.credentialMap[row.account].spareNumber = -1;
            ++listedRows;
        }
    ApplicationId application(cell, static_cast<unsigned long>(subclient.id), m_runtime);
    if (!util.credentialMap.empty() && util.initializeCredentialMap(application.getInstanceId()) != 0)
        return Status(Code::Failed, "the credentials of the job's accounts could not be read (was an account removed?)");
    App::AzureTableAgentConfig config;
    long long chunkMB = 16;
    if (!subclient.configXml.empty() && config.unserialize(subclient.configXml) == 0)
        chunkMB = config.chunkSizeMB(16);
    m_chunkBytes = static_cast<unsigned long long>(std::max(1LL, chunkMB)) << 20;

    std::string store;
    if (!(status = storeDirectory(m_runtime, store)).ok()) return status;
    const std::string folder = jobFolder(store, cell, subclient.id, id);
    const std::vector<long long> offsets = jobRestartOffsets(m_job.restart, listedRows);
    size_t place = 0;
    for (const auto& row : rows) {
        Table t;
        t.record = row;
        if (row.table == kUnlistedTables) {
            t.unlisted = true;
            result.listingFailures[row.account] = row.failure;
            tables.push_back(std::move(t));
            continue;
        }
        t.offset = offsets[place++];
        t.skipped = t.offset < 0 || row.status == kTableCompleted;
        if (t.skipped) t.offset = -1;
        t.credentials = util.credentialMap[row.account];
        t.folder = folder + "/" + row.account + "/" + row.table;
        if (!readTaskXml(row.taskXml, t.descriptor, t.keySet))
            return Status(Code::Damaged, "the recorded parameters of table " + row.account + "/" + row.table +
                                             " of job " + std::to_string(id) + " cannot be read");
        result.fromTime = std::max(result.fromTime, t.descriptor.fromTime);
        tables.push_back(std::move(t));
    }
    return Status::success();
}

void SubclientBackupJob::runTables(std::vector<Table>& tables, SubclientBackupResult& result) {
    std::vector<App::AzureDBTable> pending;
    std::vector<size_t> places;
    for (size_t i = 0; i < tables.size(); ++i)
        if (!tables[i].unlisted && !tables[i].skipped) {
            pending.emplace_back(tables[i].record.account, tables[i].record.table);
            places.push_back(i);
        }
    const std::vector<size_t> order = scheduleOrder(pending);
    std::atomic<size_t> next{0};
    auto worker = [&]() {
        for (size_t k; (k = next.fetch_add(1)) < order.size();) {
            if (m_stop.load() || m_runtime.stopRequested()) return;
            runTable(tables[places[order[k]]], result);
        }
    };
    const size_t count = std::min(order.size(), static_cast<size_t>(m_options.parallel));
    std::vector<std::thread> workers;
    for (size_t i = 0; i < count; ++i) workers.emplace_back(worker);
    for (auto& thread : workers) thread.join();
}

void SubclientBackupJob::runTable(Table& t, const SubclientBackupResult& result) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        t.record.status = kTableRunning;
        t.record.startTime = m_runtime.wallSeconds();
        t.record.endTime = 0;
        t.record.failure.clear();
        if (t.offset == 0) t.offset = 1;
    }
    m_catalog->putJobTable(t.record);
    recordRestart(*m_tables);

    AzureTableBackupJobOptions options;
    options.folder = t.folder;
    options.table = t.record.table;
    const bool incremental = t.descriptor.fromTime > 0;
    options.incremental = incremental;
    options.fromTime = t.descriptor.fromTime;
    options.recordedToTime = m_job.referenceTime;
    options.chunkSizeBytes = m_chunkBytes;
    options.keySet = t.keySet;
    options.runtime = &m_runtime;
    if (m_options.onPage) {
        auto onPage = m_options.onPage;
        const std::string account = t.record.account, table = t.record.table;
        options.onPage = [onPage, account, table](uint64_t pages, platform::store::BackupDataOutput&) {
            onPage(account, table, pages);
        };
    }
    AzureTableBackupJob job(t.credentials, options);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        t.running = &job;
        if (m_stop.load()) job.requestStop();
    }
    AzureTableBackupJobResult r;
    const Status status = job.run(r);

    std::string description;
    std::string unread;
    if (status.ok())
        m_runtime.fileSystem().readFile(t.folder + "/" + platform::store::kDescriptionFile, description, unread);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        t.running = nullptr;
        t.entitiesThisRun = r.entitiesThisRun;
        t.bytesThisRun = r.bytesThisRun;
        t.record.entities = r.entities;
        t.record.bytes = r.bytes;
        t.record.pages = r.pages;
        if (r.keySet) t.keys = static_cast<long long>(r.keys);
        t.record.endTime = m_runtime.wallSeconds();
        if (status.ok()) {
            t.record.status = kTableCompleted;
            t.offset = -1;
            t.descriptor.JSONDescription = description;
            t.record.taskXml = taskXml(t.descriptor, t.keySet);
        } else {
            t.record.status = status.code == Code::Stopped ? kTableStopped : kTableFailed;
            if (t.record.status == kTableFailed) t.record.failure = failureInWords(status, r);
            t.offset = 1 + static_cast<long long>(r.pagesStored ? r.pages : 0);
        }
    }
    if (status.ok()) {
        std::string metadata;
        IdxMetadata::DynamoDBMetadata(description).serialize(metadata);
        const Status indexed = m_catalog->putIndexEntry(
            m_job.id, AzureTablePathDecoder::toPath(t.record.account, t.record.table, incremental, m_job.id, "/"),
            metadata);
        if (!indexed.ok()) {
            // A backup the index cannot describe cannot be restored: the table is not finished,
            // and a resume (which finds its folder complete) records the entry again.
            std::lock_guard<std::mutex> lock(m_mutex);
            t.record.status = kTableFailed;
            t.record.failure = "its index entry could not be stored: " + indexed.message;
            t.offset = 1 + static_cast<long long>(r.pages);
        }
    }
    if (t.record.status == kTableFailed) {
        event(catalog::EventRecord::Major, "job " + std::to_string(m_job.id) + ": table " + t.record.account + "/" +
                                               t.record.table + " failed: " + t.record.failure);
    }
    m_catalog->putJobTable(t.record);
    recordRestart(*m_tables);
}

Status SubclientBackupJob::finish(std::vector<Table>& tables, SubclientBackupResult& result) {
    size_t completed = 0, failed = 0, unfinished = 0;
    std::vector<std::string> failures;
    for (auto& t : tables) {
        if (t.record.status == kTableCompleted) ++completed;
        else if (t.record.status == kTableFailed) {
            ++failed;
            failures.push_back(t.unlisted ? t.record.failure
                                          : t.record.account + "/" + t.record.table + ": " + t.record.failure);
        } else {
            ++unfinished;
        }
        result.entities += t.entitiesThisRun;
        result.bytes += t.bytesThisRun;
        result.tables.push_back(JobTableOutcome{t.record, t.folder, t.skipped, t.keys});
    }
    const bool stopped = m_stop.load() || m_runtime.stopRequested();
    std::string status;
    if (!result.failure.empty()) status = kJobFailed;
    else if (stopped && unfinished > 0) status = kJobInterrupted;
    else if (failed == 0 && unfinished == 0) status = kJobCompleted;
    else status = completed > 0 ? kJobCompletedWithErrors : kJobFailed;
    if (result.failure.empty() && !failures.empty()) {
        result.failure = std::to_string(failed) + " of " + std::to_string(tables.size()) + " table(s) failed: ";
        for (size_t i = 0; i < failures.size(); ++i) result.failure += (i ? "; " : "") + failures[i];
    }
    if (status == kJobInterrupted && result.failure.empty())
        result.failure = "stopped on request; `aztable backup --resume " + std::to_string(m_job.id) + "` goes on";

    if (completed > 0) {
        std::vector<catalog::ArchiveFileRecord> files;
        Status filed = m_catalog->listArchiveFiles(m_job.id, files);
        if (filed.ok() && files.empty()) {
            catalog::ArchiveFileRecord file;
            file.jobId = m_job.id;
            file.level = m_job.level;
            file.creationTime = m_job.referenceTime;
            long long fileId = 0;
            filed = m_catalog->addArchiveFile(file, fileId);
        }
        if (!filed.ok() && status == kJobCompleted) {
            // Without its archive file the job stands in no restore chain: it must not look complete.
            status = kJobCompletedWithErrors;
            result.failure = "every table was backed up, but the job's index archive file could not be stored: " +
                             filed.message;
        }
    }
    if (status == kJobCompleted) {
        // The job is recorded complete before the subclient's next incremental starts from it,
        // so a reference time is never stored for a job the restore chain would not find.
        m_job.status = status;
        m_job.endTime = m_runtime.wallSeconds();
        const Status recorded = recordRestart(tables);
        if (!recorded.ok()) {
            status = kJobCompletedWithErrors;
            result.failure = "every table was backed up, but the job could not be recorded complete: " +
                             recorded.message;
        }
    }
    if (status == kJobCompleted) {
        AzureTableUtil util(static_cast<unsigned int>(m_job.subclientId), static_cast<unsigned int>(m_catalog->cellId()),
                            m_runtime);
        result.referenceTimeStored = util.setBackupRefTime(m_job.referenceTime) == 0;
        if (!result.referenceTimeStored) {
            status = kJobCompletedWithErrors;
            result.failure = "every table was backed up, but the reference time for the next incremental job could "
                             "not be stored";
        }
    }
    result.status = status;
    m_job.status = status;
    m_job.endTime = m_runtime.wallSeconds();
    m_job.failure = result.failure;
    recordRestart(tables);  // writes the whole job record

    const std::string id = std::to_string(m_job.id);
    if (status == kJobCompleted)
        event(catalog::EventRecord::Minor, "job " + id + " completed: " + std::to_string(completed) + " table(s)");
    else if (status == kJobFailed)
        event(catalog::EventRecord::Critical, "job " + id + " failed: " + result.failure);
    else
        event(catalog::EventRecord::Major, "job " + id + " " + status + ": " + result.failure);
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
    if (status == kJobCompleted) return Status::success();
    if (status == kJobInterrupted) return Status(Code::Stopped, "job " + id + " interrupted: " + result.failure);
    return Status(Code::Failed, "job " + id + " " + status + ": " + result.failure);
}

// --- Views

Status listJobs(platform::Runtime& runtime, const std::string& instance, const std::string& backupSet,
                const std::string& subclient, std::vector<JobSummary>& jobs) {
    jobs.clear();
    catalog::Catalog* c = nullptr;
    Status status = openCatalog(runtime, c);
    if (!status.ok()) return status;
    long long subclientId = 0;
    if (!subclient.empty()) {
        catalog::SubclientRecord record;
        if (!(status = findSubclientRecord(runtime, instance, backupSet, subclient, record)).ok()) return status;
        subclientId = record.id;
    }
    std::vector<catalog::JobRecord> records;
    if (!(status = c->listJobs(subclientId, records)).ok()) return status;
    for (const auto& record : records) {
        JobSummary summary;
        if (!(status = showJob(runtime, record.id, summary)).ok()) return status;
        jobs.push_back(std::move(summary));
    }
    return Status::success();
}

Status showJob(platform::Runtime& runtime, long long jobId, JobSummary& out) {
    out = JobSummary{};
    catalog::Catalog* c = nullptr;
    Status status = openCatalog(runtime, c);
    if (!status.ok()) return status;
    status = c->getJob(jobId, out.job);
    if (status.code == Code::NotFound) return Status(Code::NotFound, "there is no job " + std::to_string(jobId));
    if (!status.ok()) return status;
    out.status = effectiveStatus(runtime.home(), out.job);
    catalog::SubclientRecord subclient;
    if (c->findSubclient(out.job.subclientId, subclient).ok()) out.subclient = subclient.name;
    return c->listJobTables(jobId, out.tables);
}

}  // namespace AzureTableIDA
