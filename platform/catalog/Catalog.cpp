#include "platform/catalog/Catalog.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {
namespace catalog {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// Schema version 1. Every id is AUTOINCREMENT so a removed row's id never names another record.
const char* const kSchema = R"sql(
CREATE TABLE meta(
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL);
CREATE TABLE clients(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  host_name TEXT NOT NULL DEFAULT '');
CREATE TABLE instances(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  client_id INTEGER NOT NULL REFERENCES clients(id),
  name TEXT NOT NULL,
  UNIQUE(client_id, name));
CREATE TABLE accounts(
  instance_id INTEGER NOT NULL REFERENCES instances(id),
  name TEXT NOT NULL,
  endpoint TEXT NOT NULL,
  access_key TEXT NOT NULL,
  PRIMARY KEY(instance_id, name));
CREATE TABLE backup_sets(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  instance_id INTEGER NOT NULL REFERENCES instances(id),
  name TEXT NOT NULL,
  is_default INTEGER NOT NULL DEFAULT 0,
  UNIQUE(instance_id, name));
CREATE UNIQUE INDEX backup_sets_one_default ON backup_sets(instance_id) WHERE is_default;
CREATE TABLE subclients(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  backup_set_id INTEGER NOT NULL REFERENCES backup_sets(id),
  name TEXT NOT NULL,
  content_xml TEXT NOT NULL DEFAULT '',
  config_xml TEXT NOT NULL DEFAULT '',
  is_default INTEGER NOT NULL DEFAULT 0,
  UNIQUE(backup_set_id, name));
CREATE UNIQUE INDEX subclients_one_default ON subclients(backup_set_id) WHERE is_default;
CREATE TABLE jobs(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  subclient_id INTEGER NOT NULL REFERENCES subclients(id),
  level INTEGER NOT NULL,
  start_time INTEGER NOT NULL DEFAULT 0,
  end_time INTEGER NOT NULL DEFAULT 0,
  reference_time INTEGER NOT NULL DEFAULT 0,
  status TEXT NOT NULL DEFAULT '',
  restart TEXT NOT NULL DEFAULT '',
  failure TEXT NOT NULL DEFAULT '');
CREATE INDEX jobs_by_subclient ON jobs(subclient_id);
CREATE TABLE archive_files(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL REFERENCES jobs(id),
  level INTEGER NOT NULL,
  creation_time INTEGER NOT NULL);
CREATE INDEX archive_files_by_job ON archive_files(job_id);
CREATE TABLE index_entries(
  job_id INTEGER NOT NULL REFERENCES jobs(id),
  path TEXT NOT NULL,
  metadata_xml TEXT NOT NULL,
  PRIMARY KEY(job_id, path));
CREATE TABLE events(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time INTEGER NOT NULL,
  job_id INTEGER NOT NULL,
  severity INTEGER NOT NULL,
  event_id INTEGER NOT NULL,
  message TEXT NOT NULL);
CREATE INDEX events_by_job ON events(job_id);
)sql";

// The statements that bring a catalog from version `version` - 1 to `version`, for every version
// after the first; null where no such step exists. A new version adds its case here and raises
// kSchemaVersion; the steps run in order inside the transaction that opens an older catalog.
const char* migrationTo(int version) {
    switch (version) {
        // Version 2: what each table of a job came to (one row per table, in the job's order).
        case 2:
            return R"sql(
CREATE TABLE job_tables(
  job_id INTEGER NOT NULL REFERENCES jobs(id),
  ordinal INTEGER NOT NULL,
  account TEXT NOT NULL,
  table_name TEXT NOT NULL,
  status TEXT NOT NULL DEFAULT '',
  entities INTEGER NOT NULL DEFAULT 0,
  bytes INTEGER NOT NULL DEFAULT 0,
  pages INTEGER NOT NULL DEFAULT 0,
  start_time INTEGER NOT NULL DEFAULT 0,
  end_time INTEGER NOT NULL DEFAULT 0,
  failure TEXT NOT NULL DEFAULT '',
  task_xml TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(job_id, ordinal),
  UNIQUE(job_id, account, table_name));
)sql";
        // Version 3: the options a job was started with (a restore job's options message).
        case 3:
            return R"sql(
CREATE TABLE job_options(
  job_id INTEGER PRIMARY KEY REFERENCES jobs(id),
  options_xml TEXT NOT NULL);
)sql";
        default: return nullptr;
    }
}

// One prepared statement. Binding numbers the parameters in call order; a failed prepare or
// bind is reported by step().
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(long long value) {
        if (m_rc == SQLITE_OK) m_rc = sqlite3_bind_int64(m_stmt, ++m_index, value);
        return *this;
    }
    Statement& bind(const std::string& value) {
        if (m_rc == SQLITE_OK)
            m_rc = sqlite3_bind_text64(m_stmt, ++m_index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or the error.
    int step() { return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc; }

    long long integer(int column) { return sqlite3_column_int64(m_stmt, column); }
    std::string text(int column) {
        const unsigned char* data = sqlite3_column_text(m_stmt, column);
        return data ? std::string(reinterpret_cast<const char*>(data), sqlite3_column_bytes(m_stmt, column))
                    : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
    int m_index = 0;
};

std::string quoted(const std::string& name) { return "'" + name + "'"; }

Status notFound(const std::string& what) { return Status(Status::Code::NotFound, what + " is not in the catalog"); }

ClientRecord readClient(Statement& s) { return ClientRecord{s.integer(0), s.text(1), s.text(2)}; }
InstanceRecord readInstance(Statement& s) { return InstanceRecord{s.integer(0), s.integer(1), s.text(2)}; }
AccountRecord readAccount(Statement& s) { return AccountRecord{s.integer(0), s.text(1), s.text(2), s.text(3)}; }
BackupSetRecord readBackupSet(Statement& s) {
    return BackupSetRecord{s.integer(0), s.integer(1), s.text(2), s.integer(3) != 0};
}
SubclientRecord readSubclient(Statement& s) {
    return SubclientRecord{s.integer(0), s.integer(1), s.text(2), s.text(3), s.text(4), s.integer(5) != 0};
}
JobRecord readJob(Statement& s) {
    JobRecord job;
    job.id = s.integer(0);
    job.subclientId = s.integer(1);
    job.level = static_cast<int>(s.integer(2));
    job.startTime = s.integer(3);
    job.endTime = s.integer(4);
    job.referenceTime = s.integer(5);
    job.status = s.text(6);
    job.restart = s.text(7);
    job.failure = s.text(8);
    return job;
}
ArchiveFileRecord readArchiveFile(Statement& s) {
    return ArchiveFileRecord{s.integer(0), s.integer(1), static_cast<int>(s.integer(2)), s.integer(3)};
}
IndexEntryRecord readIndexEntry(Statement& s) { return IndexEntryRecord{s.integer(0), s.text(1), s.text(2)}; }
JobTableRecord readJobTable(Statement& s) {
    JobTableRecord table;
    table.jobId = s.integer(0);
    table.ordinal = static_cast<int>(s.integer(1));
    table.account = s.text(2);
    table.table = s.text(3);
    table.status = s.text(4);
    table.entities = static_cast<unsigned long long>(s.integer(5));
    table.bytes = static_cast<unsigned long long>(s.integer(6));
    table.pages = static_cast<unsigned long long>(s.integer(7));
    table.startTime = s.integer(8);
    table.endTime = s.integer(9);
    table.failure = s.text(10);
    table.taskXml = s.text(11);
    return table;
}
EventRecord readEvent(Statement& s) {
    EventRecord event;
    event.id = s.integer(0);
    event.time = s.integer(1);
    event.jobId = s.integer(2);
    event.severity = static_cast<int>(s.integer(3));
    event.eventId = static_cast<unsigned long>(s.integer(4));
    event.message = s.text(5);
    return event;
}

const char* const kClientColumns = "SELECT id, name, host_name FROM clients";
const char* const kInstanceColumns = "SELECT id, client_id, name FROM instances";
const char* const kAccountColumns = "SELECT instance_id, name, endpoint, access_key FROM accounts";
const char* const kBackupSetColumns = "SELECT id, instance_id, name, is_default FROM backup_sets";
const char* const kSubclientColumns =
    "SELECT id, backup_set_id, name, content_xml, config_xml, is_default FROM subclients";
const char* const kJobColumns =
    "SELECT id, subclient_id, level, start_time, end_time, reference_time, status, restart, failure FROM jobs";
const char* const kArchiveFileColumns = "SELECT id, job_id, level, creation_time FROM archive_files";
const char* const kIndexEntryColumns = "SELECT job_id, path, metadata_xml FROM index_entries";
const char* const kJobTableColumns =
    "SELECT job_id, ordinal, account, table_name, status, entities, bytes, pages, start_time, end_time, failure, "
    "task_xml FROM job_tables";
const char* const kEventColumns = "SELECT id, time, job_id, severity, event_id, message FROM events";

Status badName(const char* what) { return Status(Status::Code::BadUsage, std::string("a ") + what + " needs a name"); }

}  // namespace

Catalog::Catalog(std::string path, sqlite3* db) : m_path(std::move(path)), m_db(db) {}

Catalog::~Catalog() { sqlite3_close_v2(m_db); }

Status Catalog::open(const std::string& path, bool create, std::unique_ptr<Catalog>& out) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return Status(Status::Code::Failed, "cannot reach the catalog " + path + ": " + std::strerror(errno));
        if (!create) return Status(Status::Code::NotFound, "the catalog " + path + " does not exist");
        // Made here rather than by SQLite so that the file is never readable by others, whatever
        // the umask; another process creating it at the same moment is no failure.
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return Status(Status::Code::Failed, "cannot create the catalog " + path + ": " + std::strerror(errno));
        if (fd >= 0) ::close(fd);
    } else if (S_ISDIR(info.st_mode)) {
        return Status(Status::Code::Refused, "the catalog " + path + " is a directory");
    }

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return Status(Status::Code::Failed, "cannot open the catalog " + path + ": " + why);
    }
    std::unique_ptr<Catalog> catalog(new Catalog(path, db));
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    Status status = catalog->prepareSchema(create);
    if (!status.ok()) return status;
    out = std::move(catalog);
    return status;
}

Status Catalog::prepareSchema(bool create) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Status status = exec("PRAGMA foreign_keys = ON");
    if (!status.ok()) return status;

    // The version is checked before anything is written: a newer catalog is left exactly as it
    // was (switching the journal mode would already change its header).
    int version = 0;
    bool empty = false;
    status = readSchemaVersion(version, empty);
    if (!status.ok()) return status;
    if (empty && !create) return emptyCatalog();
    if (!empty && version > kSchemaVersion)
        return Status(Status::Code::Refused, "the catalog " + m_path + " has schema version " + std::to_string(version) +
                                                 ", newer than version " + std::to_string(kSchemaVersion) +
                                                 " that this program knows; use a newer release");

    {
        Statement wal(m_db, "PRAGMA journal_mode = WAL");
        int rc = wal.step();
        if (rc != SQLITE_ROW) return sqlFailure("cannot switch the catalog to WAL", rc);
        if (wal.text(0) != "wal")
            return Status(Status::Code::Failed, "the catalog " + m_path + " cannot use a write-ahead log (journal mode " +
                                                    wal.text(0) + ")");
    }
    status = exec("PRAGMA synchronous = FULL");
    if (!status.ok()) return status;

    // Another process may have created or upgraded the catalog since the first look: decide
    // again under the write lock.
    status = inTransaction([&]() -> Status {
        Status read = readSchemaVersion(version, empty);
        if (!read.ok()) return read;
        if (empty && !create) return emptyCatalog();
        if (empty) {
            Status made = exec(kSchema);
            if (!made.ok()) return made;
            // A new catalog takes the same steps an old one is upgraded by.
            for (int next = 2; next <= kSchemaVersion; ++next)
                if (!(made = exec(migrationTo(next))).ok()) return made;
            Statement meta(m_db, "INSERT INTO meta(name, value) VALUES ('schema_version', ?), ('cell_id', ?)");
            meta.bind(std::to_string(kSchemaVersion)).bind(std::to_string(kDefaultCellId));
            int rc = meta.step();
            return rc == SQLITE_DONE ? Status() : sqlFailure("cannot record the schema version", rc);
        }
        if (version > kSchemaVersion)
            return Status(Status::Code::Refused, "the catalog " + m_path + " has schema version " +
                                                     std::to_string(version) + ", newer than version " +
                                                     std::to_string(kSchemaVersion) + " that this program knows");
        for (int next = version + 1; next <= kSchemaVersion; ++next) {
            const char* step = migrationTo(next);
            if (!step)
                return Status(Status::Code::Damaged, "the catalog " + m_path + " has schema version " +
                                                         std::to_string(version) + ", which cannot be upgraded");
            Status upgraded = exec(step);
            if (!upgraded.ok()) return upgraded;
        }
        if (version == kSchemaVersion) return Status();
        Statement meta(m_db, "UPDATE meta SET value = ? WHERE name = 'schema_version'");
        meta.bind(std::to_string(kSchemaVersion));
        int rc = meta.step();
        return rc == SQLITE_DONE ? Status() : sqlFailure("cannot record the schema version", rc);
    });
    if (!status.ok()) return status;

    Statement cell(m_db, "SELECT value FROM meta WHERE name = 'cell_id'");
    int rc = cell.step();
    if (rc == SQLITE_ROW) {
        m_cellId = std::strtoul(cell.text(0).c_str(), nullptr, 10);
    } else if (rc != SQLITE_DONE) {
        return sqlFailure("cannot read the cell id", rc);
    }
    return Status();
}

Status Catalog::emptyCatalog() const {
    // What a creation that died before its first commit leaves: only a creating open fills it.
    return Status(Status::Code::NotFound, "the catalog " + m_path + " is empty: it was never set up");
}

Status Catalog::readSchemaVersion(int& version, bool& empty) {
    Statement tables(m_db, "SELECT count(*), sum(name = 'meta') FROM sqlite_master WHERE type = 'table'");
    int rc = tables.step();
    if (rc != SQLITE_ROW) return sqlFailure("cannot read the catalog's schema", rc);
    empty = tables.integer(0) == 0;
    if (empty) return Status();
    if (tables.integer(1) == 0)
        return Status(Status::Code::Refused, m_path + " is not a catalog: it is a database of other tables");

    Statement meta(m_db, "SELECT value FROM meta WHERE name = 'schema_version'");
    rc = meta.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return sqlFailure("cannot read the catalog's schema version", rc);
    std::string text = rc == SQLITE_ROW ? meta.text(0) : std::string();
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > 1000000)
        return Status(Status::Code::Damaged,
                      "the catalog " + m_path + " has no valid schema version ('" + text + "')");
    version = static_cast<int>(value);
    return Status();
}

Status Catalog::exec(const std::string& sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error);
    sqlite3_free(error);
    return rc == SQLITE_OK ? Status() : sqlFailure("catalog statement failed", rc);
}

Status Catalog::sqlFailure(const std::string& what, int rc) const {
    std::string detail = sqlite3_errmsg(m_db);
    if (detail.empty() || detail == "not an error") detail = sqlite3_errstr(rc);
    Status::Code code = Status::Code::Failed;
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            code = Status::Code::InUse;
            detail = "another process held the catalog for more than " + std::to_string(kBusyTimeoutMs / 1000) +
                     " s (" + detail + ")";
            break;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: code = Status::Code::Damaged; break;
        case SQLITE_CONSTRAINT: code = Status::Code::Refused; break;
        default: break;
    }
    return Status(code, what + ": " + detail + " (catalog " + m_path + ")");
}

unsigned long Catalog::cellId() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_cellId;
}

Status Catalog::inTransaction(const std::function<Status()>& work) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const bool outer = m_depth == 0;
    const std::string savepoint = "nested" + std::to_string(m_depth);
    Status status = exec(outer ? "BEGIN IMMEDIATE" : "SAVEPOINT " + savepoint);
    if (!status.ok()) return status;

    auto undo = [&] {
        // SQLite may already have rolled the whole transaction back (a full disk, an I/O error).
        if (sqlite3_get_autocommit(m_db)) return;
        if (outer) {
            exec("ROLLBACK");
        } else {
            exec("ROLLBACK TO " + savepoint);
            exec("RELEASE " + savepoint);
        }
    };
    ++m_depth;
    try {
        status = work();
    } catch (...) {
        --m_depth;
        undo();
        throw;
    }
    --m_depth;
    if (!status.ok()) {
        undo();
        return status;
    }
    if (!outer && sqlite3_get_autocommit(m_db))
        return Status(Status::Code::Failed, "the catalog's transaction ended early (catalog " + m_path + ")");
    Status ended = exec(outer ? "COMMIT" : "RELEASE " + savepoint);
    if (!ended.ok()) {
        undo();
        return ended;
    }
    return status;
}

// --- Clients

Status Catalog::addClient(const std::string& name, const std::string& hostName, long long& id) {
    if (name.empty()) return badName("client");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement insert(m_db, "INSERT INTO clients(name, host_name) VALUES (?, ?)");
    insert.bind(name).bind(hostName);
    int rc = insert.step();
    if (rc == SQLITE_CONSTRAINT_UNIQUE)
        return Status(Status::Code::Refused, "the client " + quoted(name) + " is already in the catalog");
    if (rc != SQLITE_DONE) return sqlFailure("cannot add the client " + quoted(name), rc);
    id = sqlite3_last_insert_rowid(m_db);
    return Status();
}

Status Catalog::findClient(long long id, ClientRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kClientColumns) + " WHERE id = ?").c_str());
    query.bind(id);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readClient(query);
    if (rc == SQLITE_DONE) return notFound("client " + std::to_string(id));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read client " + std::to_string(id), rc);
}

Status Catalog::findClient(const std::string& name, ClientRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kClientColumns) + " WHERE name = ?").c_str());
    query.bind(name);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readClient(query);
    if (rc == SQLITE_DONE) return notFound("the client " + quoted(name));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read the client " + quoted(name), rc);
}

Status Catalog::listClients(std::vector<ClientRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kClientColumns) + " ORDER BY id").c_str());
    std::vector<ClientRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readClient(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the clients", rc);
    out = std::move(found);
    return Status();
}

// --- Instances

Status Catalog::addInstance(long long clientId, const std::string& name, long long& id) {
    if (name.empty()) return badName("instance");
    return inTransaction([&]() -> Status {
        ClientRecord client;
        Status status = findClient(clientId, client);
        if (!status.ok()) return status;
        Statement insert(m_db, "INSERT INTO instances(client_id, name) VALUES (?, ?)");
        insert.bind(clientId).bind(name);
        int rc = insert.step();
        if (rc == SQLITE_CONSTRAINT_UNIQUE)
            return Status(Status::Code::Refused,
                          "the client " + quoted(client.name) + " already has an instance " + quoted(name));
        if (rc != SQLITE_DONE) return sqlFailure("cannot add the instance " + quoted(name), rc);
        id = sqlite3_last_insert_rowid(m_db);
        return Status();
    });
}

Status Catalog::findInstance(long long id, InstanceRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kInstanceColumns) + " WHERE id = ?").c_str());
    query.bind(id);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readInstance(query);
    if (rc == SQLITE_DONE) return notFound("instance " + std::to_string(id));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read instance " + std::to_string(id), rc);
}

Status Catalog::findInstance(long long clientId, const std::string& name, InstanceRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kInstanceColumns) + " WHERE client_id = ? AND name = ?").c_str());
    query.bind(clientId).bind(name);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readInstance(query);
    if (rc == SQLITE_DONE) return notFound("the instance " + quoted(name) + " of client " + std::to_string(clientId));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read the instance " + quoted(name), rc);
}

Status Catalog::listInstances(long long clientId, std::vector<InstanceRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kInstanceColumns) + " WHERE ? = 0 OR client_id = ? ORDER BY id").c_str());
    query.bind(clientId).bind(clientId);
    std::vector<InstanceRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readInstance(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the instances", rc);
    out = std::move(found);
    return Status();
}

// --- Storage accounts

Status Catalog::putAccount(long long instanceId, const std::string& name, const std::string& endpoint,
                           const std::string& accessKey) {
    if (name.empty()) return badName("storage account");
    return inTransaction([&]() -> Status {
        InstanceRecord instance;
        Status status = findInstance(instanceId, instance);
        if (!status.ok()) return status;
        Statement upsert(m_db,
                         "INSERT INTO accounts(instance_id, name, endpoint, access_key) VALUES (?, ?, ?, ?) "
                         "ON CONFLICT(instance_id, name) DO UPDATE SET endpoint = excluded.endpoint, "
                         "access_key = excluded.access_key");
        upsert.bind(instanceId).bind(name).bind(endpoint).bind(accessKey);
        int rc = upsert.step();
        return rc == SQLITE_DONE ? Status() : sqlFailure("cannot store the storage account " + quoted(name), rc);
    });
}

Status Catalog::removeAccount(long long instanceId, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement remove(m_db, "DELETE FROM accounts WHERE instance_id = ? AND name = ?");
    remove.bind(instanceId).bind(name);
    int rc = remove.step();
    if (rc != SQLITE_DONE) return sqlFailure("cannot remove the storage account " + quoted(name), rc);
    if (sqlite3_changes(m_db) == 0)
        return notFound("the storage account " + quoted(name) + " of instance " + std::to_string(instanceId));
    return Status();
}

Status Catalog::findAccount(long long instanceId, const std::string& name, AccountRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kAccountColumns) + " WHERE instance_id = ? AND name = ?").c_str());
    query.bind(instanceId).bind(name);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readAccount(query);
    if (rc == SQLITE_DONE)
        return notFound("the storage account " + quoted(name) + " of instance " + std::to_string(instanceId));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read the storage account " + quoted(name), rc);
}

Status Catalog::listAccounts(long long instanceId, std::vector<AccountRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kAccountColumns) + " WHERE instance_id = ? ORDER BY name").c_str());
    query.bind(instanceId);
    std::vector<AccountRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readAccount(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the storage accounts", rc);
    out = std::move(found);
    return Status();
}

// --- Backup sets

Status Catalog::addBackupSet(long long instanceId, const std::string& name, bool isDefault, long long& id) {
    if (name.empty()) return badName("backup set");
    return inTransaction([&]() -> Status {
        InstanceRecord instance;
        Status status = findInstance(instanceId, instance);
        if (!status.ok()) return status;
        BackupSetRecord existing;
        if (findBackupSet(instanceId, name, existing).ok())
            return Status(Status::Code::Refused,
                          "the instance " + quoted(instance.name) + " already has a backup set " + quoted(name));
        Statement insert(m_db, "INSERT INTO backup_sets(instance_id, name, is_default) VALUES (?, ?, ?)");
        insert.bind(instanceId).bind(name).bind(isDefault ? 1 : 0);
        int rc = insert.step();
        if (rc == SQLITE_CONSTRAINT_UNIQUE)
            return Status(Status::Code::Refused,
                          "the instance " + quoted(instance.name) + " already has a default backup set");
        if (rc != SQLITE_DONE) return sqlFailure("cannot add the backup set " + quoted(name), rc);
        id = sqlite3_last_insert_rowid(m_db);
        return Status();
    });
}

Status Catalog::findBackupSet(long long id, BackupSetRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kBackupSetColumns) + " WHERE id = ?").c_str());
    query.bind(id);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readBackupSet(query);
    if (rc == SQLITE_DONE) return notFound("backup set " + std::to_string(id));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read backup set " + std::to_string(id), rc);
}

Status Catalog::findBackupSet(long long instanceId, const std::string& name, BackupSetRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kBackupSetColumns) + " WHERE instance_id = ? AND name = ?").c_str());
    query.bind(instanceId).bind(name);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readBackupSet(query);
    if (rc == SQLITE_DONE)
        return notFound("the backup set " + quoted(name) + " of instance " + std::to_string(instanceId));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read the backup set " + quoted(name), rc);
}

Status Catalog::listBackupSets(long long instanceId, std::vector<BackupSetRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kBackupSetColumns) + " WHERE ? = 0 OR instance_id = ? ORDER BY id").c_str());
    query.bind(instanceId).bind(instanceId);
    std::vector<BackupSetRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readBackupSet(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the backup sets", rc);
    out = std::move(found);
    return Status();
}

// --- Subclients

Status Catalog::addSubclient(long long backupSetId, const std::string& name, const std::string& contentXml,
                             const std::string& configXml, bool isDefault, long long& id) {
    if (name.empty()) return badName("subclient");
    return inTransaction([&]() -> Status {
        BackupSetRecord set;
        Status status = findBackupSet(backupSetId, set);
        if (!status.ok()) return status;
        SubclientRecord existing;
        if (findSubclient(backupSetId, name, existing).ok())
            return Status(Status::Code::Refused,
                          "the backup set " + quoted(set.name) + " already has a subclient " + quoted(name));
        Statement insert(m_db,
                         "INSERT INTO subclients(backup_set_id, name, content_xml, config_xml, is_default) "
                         "VALUES (?, ?, ?, ?, ?)");
        insert.bind(backupSetId).bind(name).bind(contentXml).bind(configXml).bind(isDefault ? 1 : 0);
        int rc = insert.step();
        if (rc == SQLITE_CONSTRAINT_UNIQUE)
            return Status(Status::Code::Refused,
                          "the backup set " + quoted(set.name) + " already has a default subclient");
        if (rc != SQLITE_DONE) return sqlFailure("cannot add the subclient " + quoted(name), rc);
        id = sqlite3_last_insert_rowid(m_db);
        return Status();
    });
}

Status Catalog::findSubclient(long long id, SubclientRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kSubclientColumns) + " WHERE id = ?").c_str());
    query.bind(id);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readSubclient(query);
    if (rc == SQLITE_DONE) return notFound("subclient " + std::to_string(id));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read subclient " + std::to_string(id), rc);
}

Status Catalog::findSubclient(long long backupSetId, const std::string& name, SubclientRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kSubclientColumns) + " WHERE backup_set_id = ? AND name = ?").c_str());
    query.bind(backupSetId).bind(name);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readSubclient(query);
    if (rc == SQLITE_DONE)
        return notFound("the subclient " + quoted(name) + " of backup set " + std::to_string(backupSetId));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read the subclient " + quoted(name), rc);
}

Status Catalog::listSubclients(long long backupSetId, std::vector<SubclientRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db,
                    (std::string(kSubclientColumns) + " WHERE ? = 0 OR backup_set_id = ? ORDER BY id").c_str());
    query.bind(backupSetId).bind(backupSetId);
    std::vector<SubclientRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readSubclient(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the subclients", rc);
    out = std::move(found);
    return Status();
}

Status Catalog::setSubclientConfigXml(long long id, const std::string& xml) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement update(m_db, "UPDATE subclients SET config_xml = ? WHERE id = ?");
    update.bind(xml).bind(id);
    int rc = update.step();
    if (rc != SQLITE_DONE) return sqlFailure("cannot store the configuration of subclient " + std::to_string(id), rc);
    return sqlite3_changes(m_db) == 0 ? notFound("subclient " + std::to_string(id)) : Status();
}

Status Catalog::setSubclientContentXml(long long id, const std::string& xml) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement update(m_db, "UPDATE subclients SET content_xml = ? WHERE id = ?");
    update.bind(xml).bind(id);
    int rc = update.step();
    if (rc != SQLITE_DONE) return sqlFailure("cannot store the content of subclient " + std::to_string(id), rc);
    return sqlite3_changes(m_db) == 0 ? notFound("subclient " + std::to_string(id)) : Status();
}

Status Catalog::removeSubclient(long long id) {
    return inTransaction([&]() -> Status {
        SubclientRecord subclient;
        Status status = findSubclient(id, subclient);
        if (!status.ok()) return status;
        if (subclient.isDefault)
            return Status(Status::Code::Refused, "the subclient " + quoted(subclient.name) +
                                                     " is its backup set's default and cannot be removed");
        Statement jobs(m_db, "SELECT count(*) FROM jobs WHERE subclient_id = ?");
        jobs.bind(id);
        int rc = jobs.step();
        if (rc != SQLITE_ROW) return sqlFailure("cannot count the jobs of subclient " + std::to_string(id), rc);
        if (jobs.integer(0) > 0)
            return Status(Status::Code::Refused, "the subclient " + quoted(subclient.name) + " has " +
                                                     std::to_string(jobs.integer(0)) +
                                                     " backup jobs in the catalog and cannot be removed");
        Statement remove(m_db, "DELETE FROM subclients WHERE id = ?");
        remove.bind(id);
        rc = remove.step();
        return rc == SQLITE_DONE ? Status() : sqlFailure("cannot remove subclient " + std::to_string(id), rc);
    });
}

// --- Jobs

Status Catalog::addJob(const JobRecord& job, long long& id) {
    return inTransaction([&]() -> Status {
        SubclientRecord subclient;
        Status status = findSubclient(job.subclientId, subclient);
        if (!status.ok()) return status;
        Statement insert(m_db,
                         "INSERT INTO jobs(subclient_id, level, start_time, end_time, reference_time, status, "
                         "restart, failure) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(job.subclientId).bind(job.level).bind(job.startTime).bind(job.endTime);
        insert.bind(job.referenceTime).bind(job.status).bind(job.restart).bind(job.failure);
        int rc = insert.step();
        if (rc != SQLITE_DONE) return sqlFailure("cannot add a job of subclient " + std::to_string(job.subclientId), rc);
        id = sqlite3_last_insert_rowid(m_db);
        return Status();
    });
}

Status Catalog::getJob(long long id, JobRecord& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kJobColumns) + " WHERE id = ?").c_str());
    query.bind(id);
    int rc = query.step();
    if (rc == SQLITE_ROW) out = readJob(query);
    if (rc == SQLITE_DONE) return notFound("job " + std::to_string(id));
    return rc == SQLITE_ROW ? Status() : sqlFailure("cannot read job " + std::to_string(id), rc);
}

Status Catalog::updateJob(const JobRecord& job) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement update(m_db,
                     "UPDATE jobs SET level = ?, start_time = ?, end_time = ?, reference_time = ?, status = ?, "
                     "restart = ?, failure = ? WHERE id = ?");
    update.bind(job.level).bind(job.startTime).bind(job.endTime).bind(job.referenceTime);
    update.bind(job.status).bind(job.restart).bind(job.failure).bind(job.id);
    int rc = update.step();
    if (rc != SQLITE_DONE) return sqlFailure("cannot update job " + std::to_string(job.id), rc);
    return sqlite3_changes(m_db) == 0 ? notFound("job " + std::to_string(job.id)) : Status();
}

Status Catalog::listJobs(long long subclientId, std::vector<JobRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kJobColumns) + " WHERE ? = 0 OR subclient_id = ? ORDER BY id").c_str());
    query.bind(subclientId).bind(subclientId);
    std::vector<JobRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readJob(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the jobs", rc);
    out = std::move(found);
    return Status();
}

// --- Index

Status Catalog::addArchiveFile(const ArchiveFileRecord& file, long long& id) {
    return inTransaction([&]() -> Status {
        JobRecord job;
        Status status = getJob(file.jobId, job);
        if (!status.ok()) return status;
        Statement insert(m_db, "INSERT INTO archive_files(job_id, level, creation_time) VALUES (?, ?, ?)");
        insert.bind(file.jobId).bind(file.level).bind(file.creationTime);
        int rc = insert.step();
        if (rc != SQLITE_DONE) return sqlFailure("cannot add an archive file of job " + std::to_string(file.jobId), rc);
        id = sqlite3_last_insert_rowid(m_db);
        return Status();
    });
}

Status Catalog::listArchiveFiles(long long jobId, std::vector<ArchiveFileRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kArchiveFileColumns) + " WHERE ? = 0 OR job_id = ? ORDER BY id").c_str());
    query.bind(jobId).bind(jobId);
    std::vector<ArchiveFileRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readArchiveFile(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the archive files", rc);
    out = std::move(found);
    return Status();
}

Status Catalog::putIndexEntry(long long jobId, const std::string& path, const std::string& metadataXml) {
    if (path.empty()) return Status(Status::Code::BadUsage, "an index entry needs a path");
    return inTransaction([&]() -> Status {
        JobRecord job;
        Status status = getJob(jobId, job);
        if (!status.ok()) return status;
        Statement upsert(m_db,
                         "INSERT INTO index_entries(job_id, path, metadata_xml) VALUES (?, ?, ?) "
                         "ON CONFLICT(job_id, path) DO UPDATE SET metadata_xml = excluded.metadata_xml");
        upsert.bind(jobId).bind(path).bind(metadataXml);
        int rc = upsert.step();
        return rc == SQLITE_DONE ? Status()
                                 : sqlFailure("cannot store the index entry " + quoted(path) + " of job " +
                                                  std::to_string(jobId),
                                              rc);
    });
}

Status Catalog::setJobOptions(long long jobId, const std::string& optionsXml) {
    return inTransaction([&]() -> Status {
        JobRecord job;
        Status status = getJob(jobId, job);
        if (!status.ok()) return status;
        Statement upsert(m_db,
                         "INSERT INTO job_options(job_id, options_xml) VALUES (?, ?) "
                         "ON CONFLICT(job_id) DO UPDATE SET options_xml = excluded.options_xml");
        upsert.bind(jobId).bind(optionsXml);
        int rc = upsert.step();
        return rc == SQLITE_DONE ? Status() : sqlFailure("cannot store the options of job " + std::to_string(jobId), rc);
    });
}

Status Catalog::getJobOptions(long long jobId, std::string& optionsXml) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, "SELECT options_xml FROM job_options WHERE job_id = ?");
    query.bind(jobId);
    int rc = query.step();
    if (rc == SQLITE_ROW) {
        optionsXml = query.text(0);
        return Status();
    }
    if (rc == SQLITE_DONE) return Status(Status::Code::NotFound, "job " + std::to_string(jobId) + " has no options");
    return sqlFailure("cannot read the options of job " + std::to_string(jobId), rc);
}

Status Catalog::listIndexEntries(long long jobId, std::vector<IndexEntryRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kIndexEntryColumns) + " WHERE job_id = ? ORDER BY path").c_str());
    query.bind(jobId);
    std::vector<IndexEntryRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readIndexEntry(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the index of job " + std::to_string(jobId), rc);
    out = std::move(found);
    return Status();
}

// --- The tables of a job

Status Catalog::putJobTable(const JobTableRecord& table) {
    if (table.account.empty() || table.table.empty())
        return Status(Status::Code::BadUsage, "a job's table needs an account and a table name");
    return inTransaction([&]() -> Status {
        JobRecord job;
        Status status = getJob(table.jobId, job);
        if (!status.ok()) return status;
        Statement upsert(m_db,
                         "INSERT INTO job_tables(job_id, ordinal, account, table_name, status, entities, bytes, pages, "
                         "start_time, end_time, failure, task_xml) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                         "ON CONFLICT(job_id, ordinal) DO UPDATE SET account = excluded.account, "
                         "table_name = excluded.table_name, status = excluded.status, entities = excluded.entities, "
                         "bytes = excluded.bytes, pages = excluded.pages, start_time = excluded.start_time, "
                         "end_time = excluded.end_time, failure = excluded.failure, task_xml = excluded.task_xml");
        upsert.bind(table.jobId).bind(table.ordinal).bind(table.account).bind(table.table).bind(table.status);
        upsert.bind(static_cast<long long>(table.entities)).bind(static_cast<long long>(table.bytes));
        upsert.bind(static_cast<long long>(table.pages)).bind(table.startTime).bind(table.endTime);
        upsert.bind(table.failure).bind(table.taskXml);
        int rc = upsert.step();
        return rc == SQLITE_DONE ? Status()
                                 : sqlFailure("cannot record table " + quoted(table.account + "/" + table.table) +
                                                  " of job " + std::to_string(table.jobId),
                                              rc);
    });
}

Status Catalog::listJobTables(long long jobId, std::vector<JobTableRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kJobTableColumns) + " WHERE job_id = ? ORDER BY ordinal").c_str());
    query.bind(jobId);
    std::vector<JobTableRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readJobTable(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the tables of job " + std::to_string(jobId), rc);
    out = std::move(found);
    return Status();
}

// --- Events

Status Catalog::addEvent(const EventRecord& event, long long& id) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement insert(m_db, "INSERT INTO events(time, job_id, severity, event_id, message) VALUES (?, ?, ?, ?, ?)");
    insert.bind(event.time).bind(event.jobId).bind(event.severity);
    insert.bind(static_cast<long long>(event.eventId)).bind(event.message);
    int rc = insert.step();
    if (rc != SQLITE_DONE) return sqlFailure("cannot record an event", rc);
    id = sqlite3_last_insert_rowid(m_db);
    return Status();
}

Status Catalog::listEvents(long long jobId, std::vector<EventRecord>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement query(m_db, (std::string(kEventColumns) + " WHERE ? = -1 OR job_id = ? ORDER BY id").c_str());
    query.bind(jobId).bind(jobId);
    std::vector<EventRecord> found;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) found.push_back(readEvent(query));
    if (rc != SQLITE_DONE) return sqlFailure("cannot list the events", rc);
    out = std::move(found);
    return Status();
}

// --- Defaults

Status Catalog::ensureDefaults(const std::string& clientName, const std::string& hostName,
                               const std::string& defaultSubclientContentXml, DefaultRecords& out) {
    if (clientName.empty()) return badName("client");
    DefaultRecords made;
    Status status = inTransaction([&]() -> Status {
        Statement cell(m_db, "INSERT OR IGNORE INTO meta(name, value) VALUES ('cell_id', ?)");
        cell.bind(std::to_string(kDefaultCellId));
        int rc = cell.step();
        if (rc != SQLITE_DONE) return sqlFailure("cannot record the cell id", rc);
        Statement read(m_db, "SELECT value FROM meta WHERE name = 'cell_id'");
        rc = read.step();
        if (rc != SQLITE_ROW) return sqlFailure("cannot read the cell id", rc);
        made.cellId = std::strtoul(read.text(0).c_str(), nullptr, 10);

        auto missing = [](const Status& s) { return s.code == Status::Code::NotFound; };
        ClientRecord client;
        Status found = findClient(clientName, client);
        if (missing(found)) found = addClient(clientName, hostName, client.id);
        if (!found.ok()) return found;
        made.clientId = client.id;

        InstanceRecord instance;
        found = findInstance(made.clientId, kDefaultInstanceName, instance);
        if (missing(found)) found = addInstance(made.clientId, kDefaultInstanceName, instance.id);
        if (!found.ok()) return found;
        made.instanceId = instance.id;

        BackupSetRecord set;
        found = findBackupSet(made.instanceId, kDefaultBackupSetName, set);
        if (missing(found)) found = addBackupSet(made.instanceId, kDefaultBackupSetName, true, set.id);
        if (!found.ok()) return found;
        made.backupSetId = set.id;

        SubclientRecord subclient;
        found = findSubclient(made.backupSetId, kDefaultSubclientName, subclient);
        if (missing(found))
            found = addSubclient(made.backupSetId, kDefaultSubclientName, defaultSubclientContentXml, "", true,
                                 subclient.id);
        if (!found.ok()) return found;
        made.subclientId = subclient.id;
        return Status();
    });
    if (!status.ok()) return status;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_cellId = made.cellId;
    out = made;
    return status;
}

}  // namespace catalog
}  // namespace platform
