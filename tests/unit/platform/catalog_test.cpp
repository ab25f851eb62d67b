#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <tuple>

#include "platform/catalog/ApplicationRecords.h"
#include "platform/catalog/Catalog.h"
#include "platform/catalog/ClientRecords.h"
#include "platform/catalog/EvEvent.h"
#include "platform/catalog/InstallConfig.h"
#include "platform/http/CAzureTableStorageInfo.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "support/TempFolder.h"

using platform::Status;
using platform::catalog::Catalog;
using platform::catalog::DefaultRecords;
using platform::catalog::EventRecord;
using platform::catalog::JobRecord;
using testing_support::TempFolder;

namespace {

std::unique_ptr<Catalog> openCatalog(const std::string& path, bool create = false) {
    std::unique_ptr<Catalog> catalog;
    Status status = Catalog::open(path, create, catalog);
    EXPECT_TRUE(status.ok()) << status.message;
    return catalog;
}

// Runs `body` in a child process (which never returns into the test) and gives its pid.
pid_t spawn(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string sqlValue(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string value;
    sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0] ? values[0] : "";
            return 0;
        },
        &value, nullptr);
    sqlite3_close(db);
    return value;
}

DefaultRecords makeDefaults(Catalog& catalog) {
    DefaultRecords defaults;
    Status status = catalog.ensureDefaults("client1", "host1.example", "<content root/>", defaults);
    EXPECT_TRUE(status.ok()) << status.message;
    return defaults;
}

}  // namespace

TEST(Catalog, CreatedPrivateEvenWithUmaskZeroAndMissingOneNamed) {
    TempFolder dir;
    std::string path = dir.file("catalog.db");
    std::unique_ptr<Catalog> catalog;
    Status missing = Catalog::open(path, false, catalog);
    EXPECT_EQ(missing.code, Status::Code::NotFound);
    EXPECT_NE(missing.message.find(path), std::string::npos) << missing.message;
    EXPECT_FALSE(testing_support::pathExists(path));
    // What a creation that died before its schema leaves is no catalog either, until created.
    dir.write("catalog.db", "");
    EXPECT_EQ(Catalog::open(path, false, catalog).code, Status::Code::NotFound);
    EXPECT_EQ(dir.read("catalog.db"), "");
    ::unlink(path.c_str());

    mode_t old = ::umask(0);
    catalog = openCatalog(path, true);
    long long id = 0;
    if (catalog) {
        EXPECT_TRUE(catalog->addClient("c", "h", id).ok());
    }
    ::umask(old);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat info;
        if (::stat((path + suffix).c_str(), &info) != 0) continue;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
    }
}

TEST(Catalog, TwoProcessesWriteJobsAndEventsAtOnce) {
    TempFolder dir;
    std::string path = dir.file("catalog.db");
    DefaultRecords defaults;
    {
        auto catalog = openCatalog(path, true);
        ASSERT_TRUE(catalog);
        defaults = makeDefaults(*catalog);
    }
    const int kEach = 100;
    auto writer = [&](const std::string& who) {
        return [&, who]() -> int {
            std::unique_ptr<Catalog> catalog;
            if (!Catalog::open(path, false, catalog).ok()) return 2;
            for (int i = 0; i < kEach; ++i) {
                Status status = catalog->inTransaction([&]() -> Status {
                    JobRecord job;
                    job.subclientId = defaults.subclientId;
                    job.status = who;
                    long long jobId = 0, eventId = 0;
                    Status added = catalog->addJob(job, jobId);
                    if (!added.ok()) return added;
                    EventRecord event;
                    event.jobId = jobId;
                    event.message = who;
                    return catalog->addEvent(event, eventId);
                });
                if (!status.ok()) return 1;
            }
            return 0;
        };
    };
    pid_t a = spawn(writer("a")), b = spawn(writer("b"));
    EXPECT_EQ(exitCodeOf(a), 0);
    EXPECT_EQ(exitCodeOf(b), 0);

    auto catalog = openCatalog(path);
    ASSERT_TRUE(catalog);
    std::vector<JobRecord> jobs;
    std::vector<EventRecord> events;
    ASSERT_TRUE(catalog->listJobs(0, jobs).ok());
    ASSERT_TRUE(catalog->listEvents(-1, events).ok());
    ASSERT_EQ(jobs.size(), 2u * kEach);
    ASSERT_EQ(events.size(), 2u * kEach);
    std::map<std::string, int> perWriter;
    for (size_t i = 0; i < jobs.size(); ++i) {
        JobRecord job;
        ASSERT_TRUE(catalog->getJob(events[i].jobId, job).ok());
        EXPECT_EQ(job.status, events[i].message);
        ++perWriter[job.status];
    }
    EXPECT_EQ(perWriter["a"], kEach);
    EXPECT_EQ(perWriter["b"], kEach);
}

// A writer that dies inside its transaction (killed, or ending without unwinding) leaves neither
// its rows nor a lock behind; what was committed before stays.
TEST(Catalog, WriterDyingInsideATransactionLeavesItConsistent) {
    for (bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "SIGKILL" : "_exit");
        TempFolder dir;
        std::string path = dir.file("catalog.db");
        DefaultRecords defaults;
        {
            auto catalog = openCatalog(path, true);
            ASSERT_TRUE(catalog);
            defaults = makeDefaults(*catalog);
            JobRecord kept;
            kept.subclientId = defaults.subclientId;
            long long id = 0;
            ASSERT_TRUE(catalog->addJob(kept, id).ok());
        }
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = spawn([&]() -> int {
            std::unique_ptr<Catalog> catalog;
            if (!Catalog::open(path, false, catalog).ok()) return 2;
            catalog->inTransaction([&]() -> Status {
                for (int i = 0; i < 60; ++i) {  // more than the page cache holds: pages reach the log
                    JobRecord job;
                    job.subclientId = defaults.subclientId;
                    job.failure.assign(64 * 1024, 'x');
                    long long id = 0;
                    catalog->addJob(job, id);
                    EventRecord event;
                    event.jobId = id;
                    catalog->addEvent(event, id);
                }
                if (!killed) ::_exit(0);
                char byte = 1;
                if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
                for (;;) ::pause();
                return Status();
            });
            return 4;
        });
        ::close(ready[1]);
        char byte = 0;
        if (killed) {
            ASSERT_EQ(::read(ready[0], &byte, 1), 1);
            ::kill(child, SIGKILL);
        }
        ::close(ready[0]);
        EXPECT_EQ(exitCodeOf(child), killed ? 128 + SIGKILL : 0);

        auto catalog = openCatalog(path);
        ASSERT_TRUE(catalog);
        std::vector<JobRecord> jobs;
        std::vector<EventRecord> events;
        ASSERT_TRUE(catalog->listJobs(0, jobs).ok());
        ASSERT_TRUE(catalog->listEvents(-1, events).ok());
        EXPECT_EQ(jobs.size(), 1u);
        EXPECT_TRUE(events.empty());
        JobRecord next;
        next.subclientId = defaults.subclientId;
        long long id = 0;
        EXPECT_TRUE(catalog->addJob(next, id).ok());
        catalog.reset();
        EXPECT_EQ(sqlValue(path, "PRAGMA integrity_check"), "ok");
    }
}

// A file this code must not take as its catalog is refused and left byte for byte as it was.
TEST(Catalog, RefusesNewerSchemaAndForeignFilesUnchanged) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        Status::Code code;
        std::vector<std::string> words;
    };
    std::vector<Case> cases = {
        {"newer schema",
         [](const std::string& path) {
             openCatalog(path, true);
             sqlValue(path, "UPDATE meta SET value = '7' WHERE name = 'schema_version'");
         },
         Status::Code::Refused,
         {"version 7", "version " + std::to_string(platform::catalog::kSchemaVersion)}},
        {"other tables", [](const std::string& path) { sqlValue(path, "CREATE TABLE mine(x)"); }, Status::Code::Refused,
         {"not a catalog"}},
        {"not a database",
         [](const std::string& path) {
             FILE* file = std::fopen(path.c_str(), "w");
             std::fputs("plain text, and more of it than a database header would need to be\n", file);
             std::fclose(file);
         },
         Status::Code::Damaged,
         {"not a database"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        std::string path = dir.file("catalog.db");
        c.make(path);
        std::string before = dir.read("catalog.db");
        ASSERT_FALSE(before.empty());
        std::unique_ptr<Catalog> catalog;
        Status status = Catalog::open(path, true, catalog);
        EXPECT_EQ(status.code, c.code) << status.message;
        for (const auto& word : c.words) EXPECT_NE(status.message.find(word), std::string::npos) << status.message;
        EXPECT_FALSE(catalog);
        EXPECT_EQ(dir.read("catalog.db"), before);
    }
}

TEST(Catalog, EnsureDefaultsTwiceChangesNothing) {
    TempFolder dir;
    auto catalog = openCatalog(dir.file("catalog.db"), true);
    ASSERT_TRUE(catalog);
    DefaultRecords first = makeDefaults(*catalog), second;
    // Another host name and content on the second run: what exists is kept as it is.
    ASSERT_TRUE(catalog->ensureDefaults("client1", "renamed.example", "<other/>", second).ok());
    EXPECT_EQ(second.cellId, 2u);
    EXPECT_EQ(catalog->cellId(), 2u);
    EXPECT_EQ(std::make_tuple(first.clientId, first.instanceId, first.backupSetId, first.subclientId),
              std::make_tuple(second.clientId, second.instanceId, second.backupSetId, second.subclientId));

    std::vector<platform::catalog::ClientRecord> clients;
    std::vector<platform::catalog::InstanceRecord> instances;
    std::vector<platform::catalog::BackupSetRecord> sets;
    std::vector<platform::catalog::SubclientRecord> subclients;
    ASSERT_TRUE(catalog->listClients(clients).ok());
    ASSERT_TRUE(catalog->listInstances(0, instances).ok());
    ASSERT_TRUE(catalog->listBackupSets(0, sets).ok());
    ASSERT_TRUE(catalog->listSubclients(0, subclients).ok());
    ASSERT_EQ(clients.size() + instances.size() + sets.size() + subclients.size(), 4u);
    EXPECT_EQ(clients[0].hostName, "host1.example");
    EXPECT_EQ(instances[0].name, "default");
    EXPECT_TRUE(sets[0].isDefault);
    EXPECT_EQ(sets[0].name, "defaultBackupSet");
    EXPECT_TRUE(subclients[0].isDefault);
    EXPECT_EQ(subclients[0].contentXml, "<content root/>");
    EXPECT_EQ(subclients[0].configXml, "");

    // A failed transaction leaves nothing of what it did.
    long long id = 0;
    Status failed = catalog->inTransaction([&]() -> Status {
        catalog->addSubclient(first.backupSetId, "extra", "", "", false, id);
        return catalog->addSubclient(first.backupSetId, "second default", "", "", true, id);
    });
    EXPECT_EQ(failed.code, Status::Code::Refused) << failed.message;
    ASSERT_TRUE(catalog->listSubclients(0, subclients).ok());
    EXPECT_EQ(subclients.size(), 1u);
}

TEST(InstallConfig, KeepsCommentsSavesPrivatelyAndNamesABadLine) {
    TempFolder dir;
    dir.write("aztable.conf", "# installation\n[QuorvServe]\nClientName = c1\n\n[AzureTableStorage]\nKey = a#b\n");
    platform::config::InstallConfig config;
    ASSERT_TRUE(config.load(dir.file("aztable.conf")).ok());
    std::string value;
    EXPECT_TRUE(config.get("quorvserve", "CLIENTNAME", value));
    EXPECT_EQ(value, "c1");
    EXPECT_TRUE(config.get("AzureTableStorage", "Key", value));
    EXPECT_EQ(value, "a#b");
    EXPECT_FALSE(config.get("AzureTableStorage", "ClientName", value));
    ASSERT_TRUE(config.set("QuorvServe", "JobResultsDirectory", "/jr").ok());
    ASSERT_TRUE(config.set("QuorvServe", "ClientName", "c2").ok());
    ASSERT_TRUE(config.set("New", "x", "1").ok());
    EXPECT_EQ(config.set("QuorvServe", "ClientName", "two\nlines").code, Status::Code::BadUsage);

    mode_t old = ::umask(0);
    Status saved = config.save(dir.file("aztable.conf"));
    ::umask(old);
    ASSERT_TRUE(saved.ok()) << saved.message;
    struct stat info;
    ASSERT_EQ(::stat(dir.file("aztable.conf").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(dir.read("aztable.conf"),
              "# installation\n[QuorvServe]\nClientName = c2\nJobResultsDirectory = /jr\n\n[AzureTableStorage]\n"
              "Key = a#b\n\n[New]\nx = 1\n");

    dir.write("bad.conf", "[QuorvServe]\nClientName = c1\njust words\n");
    Status bad = config.load(dir.file("bad.conf"));
    EXPECT_EQ(bad.code, Status::Code::BadUsage);
    EXPECT_NE(bad.message.find("line 3"), std::string::npos) << bad.message;
    EXPECT_TRUE(config.get("QuorvServe", "ClientName", value));
    EXPECT_EQ(value, "c2");  // the failed load changed nothing
}

// The agent's records over a home folder with a catalog and a configuration.
class CatalogRecords : public ::testing::Test {
protected:
    void SetUp() override {
        runtime.setHome(dir.path());
        auto catalog = openCatalog(dir.file("catalog.db"), true);
        ASSERT_TRUE(catalog);
        defaults = makeDefaults(*catalog);
        ASSERT_TRUE(catalog->putAccount(defaults.instanceId, "acct1", "http://127.0.0.1:10002/acct1", kKey).ok());
        platform::config::InstallConfig config;
        ASSERT_TRUE(config.set("QuorvServe", "ClientName", "client1").ok());
        ASSERT_TRUE(config.set("QuorvServe", "JobResultsDirectory", "/var/jr").ok());
        ASSERT_TRUE(config.save(dir.file("aztable.conf")).ok());
    }

    static constexpr const char* kKey = "a2V5LW9mLWFjY3Qx";
    TempFolder dir;
    platform::Runtime runtime;
    DefaultRecords defaults;
};

TEST_F(CatalogRecords, MissingHomeFilesSayToRunInit) {
    TempFolder empty;
    platform::Runtime other;
    other.setHome(empty.path());
    Catalog* catalog = nullptr;
    platform::config::InstallConfig* config = nullptr;
    for (Status status : {other.catalog(catalog), other.configuration(config)}) {
        EXPECT_EQ(status.code, Status::Code::NotFound);
        EXPECT_NE(status.message.find("aztable init"), std::string::npos) << status.message;
    }
    EXPECT_FALSE(testing_support::pathExists(empty.file("catalog.db")));
    EXPECT_EQ(KXPI_Focus::getFocusClientName(true, other), "");
}

TEST_F(CatalogRecords, ApplicationsSubclientsAndClients) {
    ApplicationId app(2, defaults.subclientId, runtime);
    ASSERT_NE(app.getSubclient(), nullptr);
    std::string name;
    EXPECT_EQ(app.getClientName(name), 0);
    EXPECT_EQ(name, "client1");
    EXPECT_EQ(app.getInstanceId(), static_cast<unsigned long>(defaults.instanceId));
    EXPECT_EQ(app.getBackupSetId(), static_cast<unsigned long>(defaults.backupSetId));
    bool isDefault = false;
    EXPECT_EQ(app.getSubclient()->isDefaultSubclient(isDefault), 0);
    EXPECT_TRUE(isDefault);
    EXPECT_EQ(app.getSubclient()->setConfigXML("<config ref='5'/>"), 0);
    std::string xml;
    EXPECT_EQ(Subclient(defaults.subclientId, runtime).getConfigXML(xml), 0);
    EXPECT_EQ(xml, "<config ref='5'/>");
    EXPECT_EQ(TableStorageSubclient(defaults.subclientId, runtime).getDynamicContent(xml), 0);
    EXPECT_EQ(xml, "<content root/>");

    for (auto ids : {std::make_pair(2ul, 9999ul), std::make_pair(3ul, static_cast<unsigned long>(defaults.subclientId))}) {
        ApplicationId none(ids.first, ids.second, runtime);
        EXPECT_EQ(none.getSubclient(), nullptr);
        EXPECT_NE(none.getClientName(name), 0);
        EXPECT_EQ(none.getInstanceId(), 0u);
        EXPECT_FALSE(none.hasBackupSet());
    }
    EXPECT_NE(TableStorageSubclient(9999, runtime).getDynamicContent(xml), 0);

    Catalog* catalog = nullptr;
    ASSERT_TRUE(runtime.catalog(catalog).ok());
    long long other = 0;
    ASSERT_TRUE(catalog->addSubclient(defaults.backupSetId, "tables", "<content/>", "", false, other).ok());
    std::vector<std::pair<unsigned long, std::string>> list;
    ClientApplicationList applications(runtime);
    EXPECT_EQ(applications.getSubclientList(app.getAppType(), app.getBackupSetId(), 15, list), 0);
    EXPECT_EQ(list, (std::vector<std::pair<unsigned long, std::string>>{
                        {static_cast<unsigned long>(defaults.subclientId), "default"},
                        {static_cast<unsigned long>(other), "tables"}}));
    EXPECT_NE(applications.getSubclientList(app.getAppType(), 0, 15, list), 0);

    for (const char* known : {"client1", "host1.example"}) {
        KXClient client(known, 0, runtime);
        int id = 0;
        std::string host;
        EXPECT_TRUE(client.lookup());
        EXPECT_EQ(client.getClientId(id), 0);
        EXPECT_EQ(id, defaults.clientId);
        EXPECT_EQ(client.getShortName(), "client1");
        EXPECT_EQ(client.getNetworkHostName(host), 0);
        EXPECT_EQ(host, "host1.example");
    }
    int id = 0;
    EXPECT_NE(KXClient("stranger", 0, runtime).getClientId(id), 0);
    EXPECT_EQ(KXPI_Focus::getFocusClientName(true, runtime), "client1");
    EXPECT_EQ(KXPI_QuorvClient::getJobResultsDirectory("client1", runtime), "/var/jr");
}

TEST_F(CatalogRecords, GetStringFitsOrSaysTheSizeNeeded) {
    KXPlatformInfo info(runtime);
    struct Case {
        const char* name;
        bool nullBuffer;
        int size;
        int result;
        int sizeAfter;
        std::string bufferAfter;
    };
    // "client1" needs 8 bytes with its NUL.
    for (const Case& c : std::vector<Case>{{"ClientName", false, 8, 1, 7, "client1"},
                                           {"ClientName", false, 7, 0, 8, "untouched"},
                                           {"ClientName", false, 0, 0, 8, "untouched"},
                                           {"ClientName", true, 64, 0, 8, "untouched"},
                                           {"NoSuchValue", false, 64, 0, 64, "untouched"}}) {
        SCOPED_TRACE(std::string(c.name) + " size " + std::to_string(c.size));
        char buffer[64] = "untouched";
        int size = c.size;
        EXPECT_EQ(info.getString("QuorvServe", c.name, c.nullBuffer ? nullptr : buffer, &size), c.result);
        EXPECT_EQ(size, c.sizeAfter);
        EXPECT_EQ(std::string(buffer), c.bufferAfter);
    }
}

TEST_F(CatalogRecords, EventsAreRecordedWithoutKeys) {
    runtime.log().registerSecret("c2VjcmV0LWtleS12YWx1ZQ==");
    EvEvent event(runtime);
    event.addArgument(EvEvent::TextArgument, "refused with key c2VjcmV0LWtleS12YWx1ZQ== for acct1");
    EXPECT_EQ(event.MajorEvent(0x4800006A, 42, 0), 0);
    Catalog* catalog = nullptr;
    ASSERT_TRUE(runtime.catalog(catalog).ok());
    std::vector<EventRecord> events;
    ASSERT_TRUE(catalog->listEvents(42, events).ok());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].severity, EventRecord::Major);
    EXPECT_EQ(events[0].eventId, 0x4800006Aul);
    EXPECT_EQ(events[0].message, "refused with key *** for acct1");
}

TEST_F(CatalogRecords, CredentialsOfKnownAndUnknownAccountsAndInstances) {
    IdaLoggingEnvironment environment("credentials", runtime);
    CAzureTableStorageInfo info(environment, 32);
    EXPECT_EQ(info.Connect(), 0);
    EXPECT_EQ(info.FetchCredentials(9999), 0);
    EXPECT_EQ(info.Connect(), 0);
    ASSERT_NE(info.FetchCredentials(defaults.instanceId), 0);
    EXPECT_NE(info.Connect(), 0);

    std::vector<std::string> names;
    EXPECT_NE(info.browseStorageAccountNames(names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"acct1"});
    std::string key = "unchanged", url = "unchanged";
    EXPECT_EQ(info.GetStorageAccountAuthenticationInfo("acct2", key, url), 0);
    EXPECT_EQ(key + url, "unchangedunchanged");
    EXPECT_NE(info.GetStorageAccountAuthenticationInfo("acct1", key, url), 0);
    EXPECT_EQ(key, kKey);
    EXPECT_EQ(url, "http://127.0.0.1:10002/acct1");
    EXPECT_EQ(runtime.log().redact(std::string("key ") + kKey), "key ***");
}

// A version 1 catalog (one without the job tables) is upgraded when opened, keeping its jobs;
// the job tables then keep every field and one row per place in the job's order.
TEST(Catalog, UpgradesVersionOneAndKeepsTheTablesOfAJob) {
    TempFolder dir;
    const std::string path = dir.file("catalog.db");
    long long jobId = 0;
    {
        auto catalog = openCatalog(path, true);
        ASSERT_TRUE(catalog);
        JobRecord job;
        job.subclientId = makeDefaults(*catalog).subclientId;
        ASSERT_TRUE(catalog->addJob(job, jobId).ok());
    }
    sqlValue(path, "DROP TABLE job_tables");
    sqlValue(path, "DROP TABLE job_options");
    sqlValue(path, "UPDATE meta SET value = '1' WHERE name = 'schema_version'");

    auto catalog = openCatalog(path);
    ASSERT_TRUE(catalog);
    EXPECT_EQ(sqlValue(path, "SELECT value FROM meta WHERE name = 'schema_version'"), std::to_string(platform::catalog::kSchemaVersion));
    JobRecord kept;
    ASSERT_TRUE(catalog->getJob(jobId, kept).ok());

    platform::catalog::JobTableRecord row;
    row.jobId = jobId;
    row.ordinal = 1;
    row.account = "acct";
    row.table = "tab";
    row.status = "running";
    ASSERT_TRUE(catalog->putJobTable(row).ok());
    row.status = "failed";
    row.entities = 5000000000ull;
    row.bytes = 7;
    row.pages = 3;
    row.startTime = 100;
    row.endTime = 200;
    row.failure = "table tab does not exist";
    row.taskXml = "<task/>";
    ASSERT_TRUE(catalog->putJobTable(row).ok());
    platform::catalog::JobTableRecord first = row;
    first.ordinal = 0;
    first.table = "other";
    ASSERT_TRUE(catalog->putJobTable(first).ok());
    first.ordinal = 2;  // the same table twice in one job is refused
    EXPECT_FALSE(catalog->putJobTable(first).ok());
    row.jobId = jobId + 1;
    EXPECT_EQ(catalog->putJobTable(row).code, Status::Code::NotFound);

    std::vector<platform::catalog::JobTableRecord> rows;
    ASSERT_TRUE(catalog->listJobTables(jobId, rows).ok());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].table, "other");
    const auto& r = rows[1];
    EXPECT_EQ(std::make_tuple(r.ordinal, r.account, r.table, r.status, r.entities, r.bytes, r.pages, r.startTime,
                              r.endTime, r.failure, r.taskXml),
              std::make_tuple(1, std::string("acct"), std::string("tab"), std::string("failed"), 5000000000ull, 7ull,
                              3ull, 100ll, 200ll, std::string("table tab does not exist"), std::string("<task/>")));
}
