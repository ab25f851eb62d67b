#pragma once
// The catalog: one SQLite file holding what the product knows about its backups and where they
// come from. It owns the records of
//
//   the backup domain   its cell id (2 unless set otherwise)
//   clients             machines that run jobs: id, name (unique), network host name
//   instances           a client's Azure configurations: id, client, name (unique per client)
//   accounts            an instance's storage accounts: name (unique per instance), endpoint URL,
//                       access key
//   backup sets         an instance's groups of subclients: id, name, default flag (at most one
//                       default set per instance)
//   subclients          backup definitions: id, backup set, name (unique per backup set),
//                       content XML, configuration XML, default flag (at most one per set)
//   jobs                id, subclient, level (1 full, 2 incremental), start, end and reference
//                       times (seconds since 1970), status text, restart string, failure text
//   archive files       a job's index archive files: job, level, creation time
//   index entries       a job's index: path -> metadata XML (unique per job and path)
//   job tables          what each table of a job came to: its place in the job's order, account
//                       and table (unique per job), status, entities, bytes, pages, start and end
//                       times, failure text, the task's parameters as XML (since version 2)
//   job options         the options a job was started with, as XML (since version 3)
//   events              job events: id, time, job id (0: no job), severity, event id, message
//
// Ids are never reused, even after the row they named was removed (job and subclient ids name
// folders of the backup store).
//
// The file: created with mode 0600 from its creation, journal in WAL mode, synchronous commits,
// foreign keys enforced, a busy timeout of 10 s so several processes may use one catalog at once
// (a writer waits for another's transaction to end). Its schema carries a version (table meta):
// a catalog of a newer version than this code knows is refused without a change; an older one
// is brought up to date in one transaction when opened.
//
// Threads: one Catalog may be used from any thread; its calls are serialised by a lock that a
// transaction (inTransaction) holds from its start to its end, so another thread's call waits
// for the transaction instead of joining it. A Catalog must not cross a fork(): a child process
// opens its own.
//
// Failure: every call returns a Status naming the cause (NotFound for a missing record, Refused
// for a change the records do not allow, InUse when another process held the catalog longer
// than the busy timeout, Damaged for a file that is not a readable catalog). A single-row change
// either happens or not; every multi-row change runs in one transaction (BEGIN IMMEDIATE), and a
// transaction that fails, or whose process dies before it commits, changes nothing.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/util/Export.h"
#include "platform/util/Status.h"

struct sqlite3;

namespace platform {
namespace catalog {

constexpr int kSchemaVersion = 3;
constexpr unsigned long kDefaultCellId = 2;
constexpr const char* kDefaultInstanceName = "default";
constexpr const char* kDefaultBackupSetName = "defaultBackupSet";
constexpr const char* kDefaultSubclientName = "default";

struct AZT_API ClientRecord {
    long long id = 0;
    std::string name;
    std::string hostName;
};

struct AZT_API InstanceRecord {
    long long id = 0;
    long long clientId = 0;
    std::string name;
};

struct AZT_API AccountRecord {
    long long instanceId = 0;
    std::string name;
    std::string endpoint;
    std::string accessKey;
};

struct AZT_API BackupSetRecord {
    long long id = 0;
    long long instanceId = 0;
    std::string name;
    bool isDefault = false;
};

struct AZT_API SubclientRecord {
    long long id = 0;
    long long backupSetId = 0;
    std::string name;
    std::string contentXml;
    std::string configXml;
    bool isDefault = false;
};

struct AZT_API JobRecord {
    static constexpr int Full = 1;
    static constexpr int Incremental = 2;

    long long id = 0;
    long long subclientId = 0;
    int level = Full;
    long long startTime = 0;
    long long endTime = 0;
    long long referenceTime = 0;
    std::string status;
    std::string restart;
    std::string failure;
};

struct AZT_API ArchiveFileRecord {
    long long id = 0;
    long long jobId = 0;
    int level = JobRecord::Full;
    long long creationTime = 0;
};

struct AZT_API IndexEntryRecord {
    long long jobId = 0;
    std::string path;
    std::string metadataXml;
};

// One table of a job. Status is "" before the table started, then "running", "completed",
// "failed" or "stopped".
struct AZT_API JobTableRecord {
    long long jobId = 0;
    int ordinal = 0;  // the table's place in the job's order, from 0
    std::string account;
    std::string table;
    std::string status;
    unsigned long long entities = 0, bytes = 0, pages = 0;
    long long startTime = 0, endTime = 0;  // seconds since 1970; 0 = not yet
    std::string failure;
    std::string taskXml;  // the task's name/value parameters
};

struct AZT_API EventRecord {
    static constexpr int Minor = 1;
    static constexpr int Major = 2;
    static constexpr int Critical = 3;

    long long id = 0;
    long long time = 0;  // seconds since 1970
    long long jobId = 0;
    int severity = Minor;
    unsigned long eventId = 0;
    std::string message;
};

// What ensureDefaults found or made.
struct AZT_API DefaultRecords {
    unsigned long cellId = kDefaultCellId;
    long long clientId = 0;
    long long instanceId = 0;
    long long backupSetId = 0;
    long long subclientId = 0;
};

class AZT_API Catalog {
public:
    // Opens the catalog at `path`. A missing file is NotFound unless `create` is set; then the
    // file is made (mode 0600) and given the current schema; so is an empty file (what a creation
    // that died early leaves), which is NotFound too without `create`. `out` is set only on
    // success.
    static Status open(const std::string& path, bool create, std::unique_ptr<Catalog>& out);
    ~Catalog();
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    const std::string& path() const { return m_path; }
    // The backup domain's cell id.
    unsigned long cellId() const;

    // Runs `work` in one transaction: everything it changes is kept when it returns Ok and
    // nothing when it returns another status (returned as it is), when the commit fails, or when
    // it throws (the exception goes on). A call inside `work` joins the transaction; a nested
    // inTransaction is undone on its own when it fails.
    Status inTransaction(const std::function<Status()>& work);

    // --- Clients
    Status addClient(const std::string& name, const std::string& hostName, long long& id);
    Status findClient(long long id, ClientRecord& out);
    Status findClient(const std::string& name, ClientRecord& out);
    Status listClients(std::vector<ClientRecord>& out);

    // --- Instances (clientId 0 in listInstances: every client's)
    Status addInstance(long long clientId, const std::string& name, long long& id);
    Status findInstance(long long id, InstanceRecord& out);
    Status findInstance(long long clientId, const std::string& name, InstanceRecord& out);
    Status listInstances(long long clientId, std::vector<InstanceRecord>& out);

    // --- Storage accounts of an instance
    // Adds the account, or replaces the endpoint and key of the instance's account of that name.
    Status putAccount(long long instanceId, const std::string& name, const std::string& endpoint,
                      const std::string& accessKey);
    Status removeAccount(long long instanceId, const std::string& name);
    Status findAccount(long long instanceId, const std::string& name, AccountRecord& out);
    Status listAccounts(long long instanceId, std::vector<AccountRecord>& out);  // by name

    // --- Backup sets (instanceId 0 in listBackupSets: every instance's)
    Status addBackupSet(long long instanceId, const std::string& name, bool isDefault, long long& id);
    Status findBackupSet(long long id, BackupSetRecord& out);
    Status findBackupSet(long long instanceId, const std::string& name, BackupSetRecord& out);
    Status listBackupSets(long long instanceId, std::vector<BackupSetRecord>& out);

    // --- Subclients (backupSetId 0 in listSubclients: every set's)
    Status addSubclient(long long backupSetId, const std::string& name, const std::string& contentXml,
                        const std::string& configXml, bool isDefault, long long& id);
    Status findSubclient(long long id, SubclientRecord& out);
    Status findSubclient(long long backupSetId, const std::string& name, SubclientRecord& out);
    Status listSubclients(long long backupSetId, std::vector<SubclientRecord>& out);
    Status setSubclientConfigXml(long long id, const std::string& xml);
    Status setSubclientContentXml(long long id, const std::string& xml);
    // Refused for a default subclient and for one that has jobs (their backups name it).
    Status removeSubclient(long long id);

    // --- Jobs (job.id is ignored by addJob: the catalog assigns it)
    Status addJob(const JobRecord& job, long long& id);
    Status getJob(long long id, JobRecord& out);
    // Replaces every field of the job `job.id` names but its subclient.
    Status updateJob(const JobRecord& job);
    Status listJobs(long long subclientId, std::vector<JobRecord>& out);  // 0: all; by id

    // --- Index archive files and entries
    Status addArchiveFile(const ArchiveFileRecord& file, long long& id);
    Status listArchiveFiles(long long jobId, std::vector<ArchiveFileRecord>& out);  // 0: all; by id
    // Adds the entry, or replaces the metadata of the job's entry at that path.
    Status putIndexEntry(long long jobId, const std::string& path, const std::string& metadataXml);
    Status listIndexEntries(long long jobId, std::vector<IndexEntryRecord>& out);  // by path

    // --- The options a job was started with (a restore job's options message, as XML)
    Status setJobOptions(long long jobId, const std::string& optionsXml);
    Status getJobOptions(long long jobId, std::string& optionsXml);  // NotFound when it has none

    // --- The tables of a job
    // Adds the table at (jobId, ordinal), or replaces every field of the one there.
    Status putJobTable(const JobTableRecord& table);
    Status listJobTables(long long jobId, std::vector<JobTableRecord>& out);  // by ordinal

    // --- Events (event.id is ignored: the catalog assigns it)
    Status addEvent(const EventRecord& event, long long& id);
    Status listEvents(long long jobId, std::vector<EventRecord>& out);  // -1: all; by id

    // In one transaction, makes what is missing of: the cell (2), the client `clientName` with
    // `hostName`, its instance "default", that instance's backup set "defaultBackupSet" (default)
    // and the set's subclient "default" (default, content `defaultSubclientContentXml`, empty
    // configuration). Records that exist are kept as they are (a client's host name, a
    // subclient's content); their ids are returned. A second call changes nothing.
    Status ensureDefaults(const std::string& clientName, const std::string& hostName,
                          const std::string& defaultSubclientContentXml, DefaultRecords& out);

private:
    Catalog(std::string path, sqlite3* db);

    Status prepareSchema(bool create);
    Status emptyCatalog() const;
    Status readSchemaVersion(int& version, bool& empty);
    Status exec(const std::string& sql);
    Status sqlFailure(const std::string& what, int rc) const;

    std::string m_path;
    sqlite3* m_db;
    mutable std::recursive_mutex m_mutex;  // guards m_db, m_depth and m_cellId
    int m_depth = 0;                       // transactions open on this thread (0: none)
    unsigned long m_cellId = kDefaultCellId;
};

}  // namespace catalog
}  // namespace platform
