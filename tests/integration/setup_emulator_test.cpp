// Setting the agent up against the emulator's two accounts: init, account add/list/remove,
// tables and events, with every key kept out of the output and the log.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <set>
#include <string>

#include "backup/AzureTableBackupJob.h"
#include "platform/catalog/Catalog.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "table_service/AzureTableStorage.h"
#include "platform/messages/Messages.h"
#include "tests/support/BackupFolder.h"
#include "tests/support/Emulator.h"
#include "tests/support/TempFolder.h"

namespace {

using testing_support::shellQuote;
using SetupTest = testing_support::EmulatorTest;
using testing_support::readUntil;

rapidjson::Document parsed(const testing_support::CommandResult& result) {
    rapidjson::Document document;
    const size_t start = result.output.find('{');
    document.Parse(start == std::string::npos ? "" : result.output.c_str() + start);
    return document;
}

}  // namespace

TEST_F(SetupTest, InitAccountsAndTablesOfTwoAccounts) {
    testing_support::TempFolder temp;
    const std::string home = "--home " + shellQuote(temp.file("home"));
    const std::string secondKey = "YXp0YWJsZS1zZWNvbmQtdGVzdC1hY2NvdW50LWtleSE=";

    auto init = aztable("init " + home + " --json");
    ASSERT_EQ(init.status, 0) << init.output;
    EXPECT_TRUE(parsed(init)["created"].GetBool());
    auto again = aztable("init " + home + " --json");
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_FALSE(parsed(again)["created"].GetBool()) << again.output;

    // Before any account: a clear answer, and a key is never taken from the command line.
    EXPECT_EQ(aztable("tables " + home).status, 0);
    EXPECT_EQ(aztable("account add " + credentials.accountName + " --connection-string x " + home).status, 2);
    auto mismatch = aztable("account add other " + home);
    EXPECT_EQ(mismatch.status, 2);
    EXPECT_NE(mismatch.output.find("'" + credentials.accountName + "', not 'other'"), std::string::npos)
        << mismatch.output;
    // A wrong key is found before anything is stored.
    auto wrong = aztable("account add " + credentials.accountName + " " + home,
                         "AZURE_STORAGE_CONNECTION_STRING=" +
                             shellQuote("AccountName=" + credentials.accountName +
                                        ";AccountKey=d3Jvbmcta2V5;TableEndpoint=" + credentials.accountUrl));
    EXPECT_EQ(wrong.status, 1) << wrong.output;
    EXPECT_NE(wrong.output.find("was not stored"), std::string::npos) << wrong.output;

    const std::string first = testing_support::uniqueTableName("setupa");
    createTable(first);
    ASSERT_EQ(aztable("account add " + credentials.accountName + " " + home).status, 0);
    temp.write("second", secondConnection() + "\n");
    ::chmod(temp.file("second").c_str(), 0600);
    auto added = aztable("account add aztablesecond --connection-string-file " + shellQuote(temp.file("second")) +
                         " " + home + " --json");
    ASSERT_EQ(added.status, 0) << added.output;
    const std::string second = testing_support::uniqueTableName("setupb");
    {
        auto created = aztable("table create " + second + " --connection-string-file " + shellQuote(temp.file("second")));
        ASSERT_EQ(created.status, 0) << created.output;
    }

    auto list = aztable("account list " + home + " --json");
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(parsed(list)["accounts"].Size(), 2u) << list.output;
    auto tables = aztable("tables " + home + " --json");
    ASSERT_EQ(tables.status, 0) << tables.output;
    EXPECT_NE(tables.output.find(first), std::string::npos);
    EXPECT_NE(tables.output.find(second), std::string::npos);
    auto one = aztable("tables aztablesecond " + home);
    ASSERT_EQ(one.status, 0) << one.output;
    EXPECT_NE(one.output.find("aztablesecond/" + second), std::string::npos) << one.output;
    EXPECT_EQ(one.output.find(first), std::string::npos);
    EXPECT_EQ(aztable("tables nosuchaccount " + home).status, 1);
    EXPECT_EQ(aztable("events " + home + " --json").status, 0);

    for (const auto& result : {added, list, tables, one})
        for (const std::string& key : {credentials.accessKey, secondKey})
            EXPECT_EQ(result.output.find(key), std::string::npos) << result.output;
    const std::string log = temp.read("home/log/aztable.log");
    EXPECT_EQ(log.find(credentials.accessKey), std::string::npos);
    EXPECT_EQ(log.find(secondKey), std::string::npos);
    struct stat info;
    ASSERT_EQ(::stat(temp.file("home/catalog.db").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ASSERT_EQ(aztable("account remove aztablesecond " + home).status, 0);
    EXPECT_EQ(aztable("account remove aztablesecond " + home).status, 1);
    auto after = aztable("tables " + home);
    EXPECT_EQ(after.output.find(second), std::string::npos) << after.output;
    EXPECT_EQ(aztable("tables --home " + shellQuote(temp.file("nothing"))).status, 1);
}

namespace {

// A home with the emulator's two accounts, and subclient backup jobs run in it.
class JobsTest : public testing_support::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        first = credentials.accountName;
        ASSERT_EQ(aztable("init " + home).status, 0);
        ASSERT_EQ(aztable("account add " + credentials.accountName + " " + home).status, 0);
        temp.write("second", secondConnection() + "\n");
        ::chmod(temp.file("second").c_str(), 0600);
        ASSERT_EQ(aztable("account add aztablesecond --connection-string-file " + shellQuote(temp.file("second")) + " " +
                          home)
                      .status,
                  0);
    }
    std::string onSecond() const { return "AZURE_STORAGE_CONNECTION_STRING=" + shellQuote(secondConnection()); }
    // A table of `count` sample entities in the first account, or in the second one.
    std::string sampleTable(const std::string& prefix, int count, bool second = false) {
        const std::string table = testing_support::uniqueTableName(prefix);
        auto made = aztable("sample-data --table " + table + " --count " + std::to_string(count),
                            second ? onSecond() : "");
        EXPECT_EQ(made.status, 0) << made.output;
        return table;
    }
    rapidjson::Document json(const std::string& arguments, int expected = 0, const std::string& environment = "") {
        auto result = aztable(arguments + " " + home + " --json", environment);
        EXPECT_EQ(result.status, expected) << arguments << "\n" << result.output;
        return parsed(result);
    }
    // The keys of every entity a table's folder holds; a key stored twice fails the test.
    static std::set<std::string> keysIn(const std::string& folder, platform::store::BackupManifest& manifest) {
        std::set<std::string> keys;
        for (const auto& line : testing_support::readBackupLines(folder, false, &manifest)) {
            rapidjson::Document entity;
            entity.Parse(line.c_str());
            EXPECT_TRUE(entity.IsObject()) << line;
            if (!entity.IsObject()) continue;
            EXPECT_TRUE(keys.insert(std::string(entity["PartitionKey"].GetString()) + "|" + entity["RowKey"].GetString())
                            .second)
                << "stored twice: " << line;
        }
        return keys;
    }

    testing_support::TempFolder temp;
    const std::string home = "--home " + shellQuote(temp.file("home"));
    std::string first;  // the emulator's own account
};

}  // namespace

// Three tables in two accounts, one of them gone by the time the job runs: the others complete
// and are recorded (table rows, index entries, the archive file), the job says which failed and
// exits non-zero, and the reference time is not moved. Resumed once the table is back, the job
// leaves the finished tables alone and completes.
TEST_F(JobsTest, AFailingTableLeavesTheOthersCompleteAndTheJobResumable) {
    const std::string a = sampleTable("joba", 1500), gone = sampleTable("jobgone", 10);
    const std::string b = sampleTable("jobb", 300, true);
    auto made = json("subclient create three --table " + first + "/" + a + " --table " + first + "/" + gone +
                     " --table aztablesecond/" + b + " --table " + first + "/" + a);
    EXPECT_EQ(made["subclient"]["content"].Size(), 3u);
    ASSERT_EQ(aztable("table delete " + gone + " --wait").status, 0);

    auto job = json("backup three --parallel 2", 1);
    EXPECT_EQ(std::string(job["status"].GetString()), "completed with errors");
    EXPECT_EQ(std::string(job["kind"].GetString()), "full");
    EXPECT_FALSE(job["referenceTimeStored"].GetBool());
    EXPECT_NE(std::string(job["error"]["message"].GetString()).find(first + "/" + gone + ": table " + gone +
                                                                    " does not exist"),
              std::string::npos);
    const long long id = job["job"].GetInt64(), reference = job["referenceTime"].GetInt64();
    std::map<std::string, std::string> statuses;
    for (const auto& t : job["tables"].GetArray()) statuses[t["table"].GetString()] = t["status"].GetString();
    EXPECT_EQ(statuses, (std::map<std::string, std::string>{{a, "completed"}, {b, "completed"}, {gone, "failed"}}));
    for (const auto& t : job["tables"].GetArray()) {
        if (std::string(t["status"].GetString()) != "completed") continue;
        platform::store::BackupManifest manifest;
        EXPECT_EQ(keysIn(t["folder"].GetString(), manifest).size(), t["entities"].GetUint64());
        EXPECT_EQ(manifest.toTime, reference);  // one reference time for every table
        EXPECT_EQ(std::string(t["folder"].GetString()).find(temp.file("home/store/2/")), 0u);
    }
    auto shown = json("job show " + std::to_string(id));
    EXPECT_EQ(std::string(shown["job"]["status"].GetString()), "completed with errors");
    EXPECT_EQ(shown["job"]["failedTables"].GetUint64(), 1u);
    // Verifying it: the finished tables are sound, the failed one is not claimed to be.
    std::map<std::string, std::string> verified;
    const auto verifiedJob = json("verify " + std::to_string(id), 1);
    for (const auto& t : verifiedJob["tables"].GetArray())
        verified[t["table"].GetString()] = t["status"].GetString();
    EXPECT_EQ(verified, (std::map<std::string, std::string>{{a, "ok"}, {b, "ok"}, {gone, "incomplete"}}));
    EXPECT_EQ(json("subclient show three")["subclient"]["lastBackupRefTime"].GetInt64(), 0);
    auto events = aztable("events --job " + std::to_string(id) + " " + home);
    EXPECT_NE(events.output.find("minor    full backup of subclient three started"), std::string::npos) << events.output;
    EXPECT_NE(events.output.find("major    job " + std::to_string(id) + ": table " + first + "/" + gone + " failed"),
              std::string::npos)
        << events.output;
    {
        std::unique_ptr<platform::catalog::Catalog> catalog;
        ASSERT_TRUE(platform::catalog::Catalog::open(temp.file("home/catalog.db"), false, catalog).ok());
        std::vector<platform::catalog::IndexEntryRecord> index;
        std::vector<platform::catalog::ArchiveFileRecord> files;
        std::vector<platform::catalog::JobTableRecord> rows;
        ASSERT_TRUE(catalog->listIndexEntries(id, index).ok());
        ASSERT_TRUE(catalog->listArchiveFiles(id, files).ok());
        ASSERT_TRUE(catalog->listJobTables(id, rows).ok());
        ASSERT_EQ(index.size(), 2u);
        EXPECT_EQ(index[1].path, "/" + first + "/" + a + "/F" + std::to_string(id));
        EXPECT_NE(index[1].metadataXml.find("TableName"), std::string::npos) << index[1].metadataXml;
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(std::make_tuple(files[0].level, files[0].creationTime), std::make_tuple(1, reference));
        for (const auto& row : rows) {
            EXPECT_NE(row.taskXml.find(row.table), std::string::npos);
            EXPECT_EQ(row.taskXml.find(credentials.accessKey), std::string::npos);
        }
    }

    ASSERT_EQ(aztable("sample-data --table " + gone + " --count 20").status, 0);
    auto resumed = json("backup --resume " + std::to_string(id));
    EXPECT_EQ(std::string(resumed["status"].GetString()), "completed");
    EXPECT_TRUE(resumed["referenceTimeStored"].GetBool());
    for (const auto& t : resumed["tables"].GetArray())
        EXPECT_EQ(t["skipped"].GetBool(), std::string(t["table"].GetString()) != gone) << t["table"].GetString();
    EXPECT_EQ(json("subclient show three")["subclient"]["lastBackupRefTime"].GetInt64(), reference);
    EXPECT_EQ(std::string(json("backup --resume " + std::to_string(id), 1)["error"]["code"].GetString()), "refused");

    // An account whose tables cannot be listed: what it holds is unknown, so the job is never clean.
    {
        std::unique_ptr<platform::catalog::Catalog> catalog;
        ASSERT_TRUE(platform::catalog::Catalog::open(temp.file("home/catalog.db"), false, catalog).ok());
        std::vector<platform::catalog::InstanceRecord> instances;
        ASSERT_TRUE(catalog->listInstances(0, instances).ok());
        ASSERT_TRUE(catalog->putAccount(instances[0].id, "unlisted", credentials.accountUrl, "d3Jvbmcta2V5").ok());
    }
    ASSERT_EQ(aztable("subclient create partly --account unlisted --table " + first + "/" + a + " " + home).status, 0);
    auto partly = json("backup partly", 1);
    EXPECT_EQ(std::string(partly["status"].GetString()), "completed with errors");
    ASSERT_EQ(partly["listingFailures"].Size(), 1u);
    EXPECT_EQ(std::string(partly["listingFailures"][0]["account"].GetString()), "unlisted");
    EXPECT_FALSE(partly["referenceTimeStored"].GetBool());
    EXPECT_EQ(std::string(partly["tables"][0]["status"].GetString()), "completed");
}

// A job killed with SIGKILL at random moments (after a random page of some table) and resumed
// until it completes holds every entity of every table exactly once.
TEST_F(JobsTest, AJobKilledAtRandomMomentsIsResumedToEveryEntityOnce) {
    const std::map<std::string, size_t> counts = {
        {sampleTable("killa", 3000), 3000}, {sampleTable("killb", 2000), 2000}, {sampleTable("killc", 2000, true), 2000}};
    std::string create = "subclient create killed";
    for (const auto& entry : counts)
        create += " --table " + std::string(entry.first.find("killc") == 0 ? "aztablesecond" : first) + "/" + entry.first;
    ASSERT_EQ(aztable(create + " " + home).status, 0) << create;

    std::mt19937 random(20261206);
    long long id = 0;
    bool completed = false;
    int kills = 0;
    for (int round = 0; round < 6 && !completed; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string command = (id ? "backup --resume " + std::to_string(id) : std::string("backup killed")) +
                                    " --parallel 2 " + home;
        int output = -1;
        pid_t child = spawnAztable(command, output, "AZTABLE_TEST_PAGE_LINES=1");
        ASSERT_GT(child, 0);
        std::string said;
        size_t at = 0;
        // The last round runs to its end; the others are killed after a random page.
        const int pages = round == 5 ? 1000 : std::uniform_int_distribution<int>(1, 4)(random);
        bool running = true;
        for (int page = 0; page < pages && running; ++page) {
            running = readUntil(output, said, "aztable: test page ", at);
            at = said.find("aztable: test page ", at) + 1;
        }
        // The first round is stopped as Ctrl-C would; the others are killed.
        const int signal = round == 0 ? SIGTERM : SIGKILL;
        if (running) kills += ::kill(child, signal) == 0 && signal == SIGKILL;
        readUntil(output, said);
        ::close(output);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        completed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!id) {
            auto jobs = json("jobs killed");
            ASSERT_EQ(jobs["jobs"].Size(), 1u) << said;
            id = jobs["jobs"][0]["id"].GetInt64();
        }
        if (!completed && signal == SIGTERM) {
            ASSERT_TRUE(WIFEXITED(status)) << said;
            EXPECT_EQ(WEXITSTATUS(status), 3) << said;
            EXPECT_NE(said.find("aztable backup --resume " + std::to_string(id)), std::string::npos) << said;
        } else if (!completed) {
            ASSERT_TRUE(WIFSIGNALED(status)) << said;
        }
        if (!completed) {
            EXPECT_EQ(std::string(json("job show " + std::to_string(id))["job"]["status"].GetString()), "interrupted");
        }
    }
    ASSERT_TRUE(completed);
    EXPECT_GE(kills, 2);
    auto shown = json("job show " + std::to_string(id));
    EXPECT_EQ(std::string(shown["job"]["status"].GetString()), "completed");
    ASSERT_EQ(shown["job"]["tables"].Size(), 3u);
    for (const auto& t : shown["job"]["tables"].GetArray()) {
        const std::string account = t["account"].GetString(), table = t["table"].GetString();
        platform::store::BackupManifest manifest;
        const auto keys = keysIn(temp.file("home/store/2/" + std::to_string(json("subclient show killed")["subclient"]["id"].GetInt64()) + "/" +
                                           std::to_string(id) + "/" + account + "/" + table),
                                 manifest);
        EXPECT_EQ(keys.size(), counts.at(table)) << table;
        EXPECT_TRUE(manifest.complete);
        EXPECT_EQ(manifest.toTime, shown["job"]["referenceTime"].GetInt64());
    }
}

// The first job is full; after changes the next is incremental from its reference time and
// holds the changes; a job that does not finish every table leaves the reference time where
// it was, so the job after it starts from the same point.
TEST_F(JobsTest, IncrementalJobsStartFromTheLastJobThatFinishedEveryTable) {
    const std::string a = sampleTable("inca", 500), b = sampleTable("incb", 50, true);
    ASSERT_EQ(aztable("subclient create inc --table " + first + "/" + a + " --table aztablesecond/" + b + " " + home).status, 0);
    EXPECT_EQ(std::string(json("backup inc --incremental")["kind"].GetString()), "full");  // nothing to start from
    const long long r1 = json("subclient show inc")["subclient"]["lastBackupRefTime"].GetInt64();
    ASSERT_GT(r1, 0);

    ASSERT_EQ(aztable("sample-data --table " + a + " --count 500 --update-fraction 0.2").status, 0);
    auto second = json("backup inc");
    EXPECT_EQ(std::string(second["kind"].GetString()), "incremental");
    EXPECT_EQ(second["fromTime"].GetInt64(), r1);
    const long long r2 = second["referenceTime"].GetInt64();
    EXPECT_GE(r2, r1);
    EXPECT_EQ(json("subclient show inc")["subclient"]["lastBackupRefTime"].GetInt64(), r2);
    for (const auto& t : second["tables"].GetArray()) {
        platform::store::BackupManifest manifest;
        const auto keys = keysIn(t["folder"].GetString(), manifest);
        EXPECT_TRUE(manifest.incremental);
        EXPECT_EQ(manifest.fromTime, r1);
        if (std::string(t["table"].GetString()) == a) {
            EXPECT_GE(keys.size(), 100u);  // the 100 new entities at least
        }
    }

    ASSERT_EQ(aztable("table delete " + b + " --wait", onSecond()).status, 0);
    auto failing = json("backup inc", 1);
    EXPECT_EQ(std::string(failing["status"].GetString()), "completed with errors");
    EXPECT_EQ(json("subclient show inc")["subclient"]["lastBackupRefTime"].GetInt64(), r2);
    auto third = json("backup inc --full", 1);
    EXPECT_EQ(std::string(third["kind"].GetString()), "full");
    EXPECT_EQ(json("subclient show inc")["subclient"]["lastBackupRefTime"].GetInt64(), r2);
    ASSERT_EQ(aztable("sample-data --table " + b + " --count 5", onSecond()).status, 0);
    auto fourth = json("backup inc");
    EXPECT_EQ(std::string(fourth["kind"].GetString()), "incremental");
    EXPECT_EQ(fourth["fromTime"].GetInt64(), r2);

    // A table that joins the content has no earlier backup: within an incremental job it is
    // backed up whole, its older entities included.
    const std::string c = sampleTable("incc", 40);
    {
        std::unique_ptr<platform::catalog::Catalog> catalog;
        ASSERT_TRUE(platform::catalog::Catalog::open(temp.file("home/catalog.db"), false, catalog).ok());
        App::CloudDBEntity content;
        for (const auto& table : {std::make_pair(first, a), std::make_pair(std::string("aztablesecond"), b),
                                  std::make_pair(first, c)})
            content.addChild(App::CloudDBEntity::table(table.first, table.second));
        std::string xml;
        ASSERT_EQ(content.serialize(xml), 0);
        ASSERT_TRUE(catalog->setSubclientContentXml(json("subclient show inc")["subclient"]["id"].GetInt64(), xml).ok());
    }
    auto fifth = json("backup inc");
    EXPECT_EQ(std::string(fifth["kind"].GetString()), "incremental");
    ASSERT_EQ(fifth["tables"].Size(), 3u);
    for (const auto& t : fifth["tables"].GetArray()) {
        platform::store::BackupManifest manifest;
        const auto keys = keysIn(t["folder"].GetString(), manifest);
        const bool joined = std::string(t["table"].GetString()) == c;
        EXPECT_EQ(manifest.incremental, !joined) << t["table"].GetString();
        if (joined) {
            EXPECT_EQ(keys.size(), 40u);
        }
    }
}

namespace {

// Waits until the service's clock has passed `seconds` (a job's time has a resolution of one
// second: two jobs in one second of the service's clock cannot be told apart by a time). Each
// look is a request to the emulator; no sleep.
void awaitServiceTimeAfter(const AzureTableCredentials& credentials, long long seconds) {
    IdaLoggingEnvironment environment("clock");
    AzureTableCredentials copy = credentials;
    for (int attempt = 0; attempt < 100000; ++attempt) {
        AzureTableStorage client(copy, environment);
        std::vector<std::string> names;
        ASSERT_TRUE(client.queryTables(names));
        if (client.serviceTime() > seconds) return;
    }
    FAIL() << "the service's clock did not pass " << seconds;
}

}  // namespace

// Two tables in two accounts backed up full, changed, incremental, changed again, incremental
// again: a restore to the time of the middle job equals the tables as they were then (mirror
// tables got the same changes up to that job), a restore without a time equals them now. A
// damaged chunk is named by object and byte offset and the restore then changes nothing.
TEST_F(JobsTest, ARestoreToAPointInTimeEqualsTheTablesAsTheyWereThen) {
    const std::string a = sampleTable("pita", 300), b = sampleTable("pitb", 40, true);
    const std::string ma = sampleTable("pitma", 300), mb = sampleTable("pitmb", 40, true);
    const std::string tableA = first + "/" + a, tableB = "aztablesecond/" + b;
    auto change = [&](const std::string& table, const std::string& arguments, bool second) {
        ASSERT_EQ(aztable("sample-data --table " + table + " " + arguments, second ? onSecond() : "").status, 0);
    };
    auto equal = [&](const std::string& one, const std::string& other, bool second) {
        auto compared = aztable("compare-tables --table " + one + " --other " + other, second ? onSecond() : "");
        EXPECT_EQ(compared.status, 0) << one << " vs " << other << ": " << compared.output;
    };
    ASSERT_EQ(aztable("subclient create pit --table " + tableA + " --table " + tableB + " " + home).status, 0);
    const long long job1 = json("backup pit")["job"].GetInt64();
    for (const auto& t : {a, ma}) change(t, "--count 300 --update-fraction 0.2", false);
    for (const auto& t : {b, mb}) change(t, "--count 40 --seed 2", true);
    auto second = json("backup pit");
    const long long job2 = second["job"].GetInt64(), r2 = second["referenceTime"].GetInt64();
    equal(a, ma, false);
    ASSERT_NO_FATAL_FAILURE(awaitServiceTimeAfter(credentials, r2 + AzureTableBackupJob::kBoundMarginSeconds));
    change(a, "--count 300 --seed 3", false);
    change(b, "--count 40 --update-fraction 0.5", true);
    const long long job3 = json("backup pit")["job"].GetInt64();
    EXPECT_EQ(aztable("compare-tables --table " + a + " --other " + ma).status, 1) << "the last change made a difference";

    // To the middle job's time: jobs 1 and 2, into new tables.
    const std::string a2 = testing_support::uniqueTableName("pitatwo"), b2 = testing_support::uniqueTableName("pitbtwo");
    auto middle = json("restore pit --to-time " + std::to_string(r2) + " --table " + tableA + "=" + first + "/" + a2 +
                       " --table " + tableB + "=aztablesecond/" + b2);
    ASSERT_EQ(middle["chain"].Size(), 2u) << "job " << job3 << " is after the time";
    EXPECT_EQ(middle["chain"][1].GetInt64(), job2);
    for (const auto& t : middle["tables"].GetArray()) {
        EXPECT_EQ(std::string(t["status"].GetString()), "restored");
        EXPECT_EQ(std::string(t["action"].GetString()), "created");
        EXPECT_EQ(t["jobs"][0].GetInt64(), job1);
        EXPECT_EQ(t["entitiesWritten"].GetUint64(), t["entities"].GetUint64());
    }
    equal(a2, ma, false);
    equal(b2, mb, true);
    const long long restoreJob = middle["restoreJob"].GetInt64();
    auto shown = json("job show " + std::to_string(restoreJob));
    EXPECT_EQ(std::string(shown["job"]["kind"].GetString()), "restore");
    EXPECT_EQ(std::string(shown["job"]["status"].GetString()), "completed");
    // A restore job is no backup: the next job builds on job 3, each table incrementally.
    auto fourth = json("backup pit");
    EXPECT_EQ(fourth["fromTime"].GetInt64(), json("job show " + std::to_string(job3))["job"]["referenceTime"].GetInt64());
    for (const auto& t : fourth["tables"].GetArray()) {
        platform::store::BackupManifest manifest;
        keysIn(t["folder"].GetString(), manifest);
        EXPECT_TRUE(manifest.incremental) << t["table"].GetString();
    }

    // Without a time: every job, equal to the tables now.
    const std::string a3 = testing_support::uniqueTableName("pitathree"), b3 = testing_support::uniqueTableName("pitbthree");
    auto now = json("restore pit --table " + tableA + "=" + first + "/" + a3 + " --table " + tableB + "=aztablesecond/" + b3);
    EXPECT_GE(now["chain"].Size(), 3u);
    equal(a3, a, false);
    equal(b3, b, true);

    // Refused before anything changes: a time that is not one, a mapping the restore runners
    // could not tell apart, an account the instance has no credentials for.
    EXPECT_EQ(aztable("restore pit --to-time 'Mon jan 04 2021 10:30:05' " + home).status, 2);
    for (const std::string& refused :
         {"restore pit --table " + tableA + "=" + first + "/same" + " --table " + tableB + "=aztablesecond/same",
          // Table names are one table whatever their case.
          "restore pit --table " + tableA + "=" + first + "/Same" + " --table " + tableB + "=" + first + "/same",
          "restore pit --table " + tableA + "=nosuchaccount/" + a3})
        EXPECT_FALSE(json(refused, 1)["serviceChanged"].GetBool()) << refused;

    // A flipped byte: verify names the object and its offset, and a restore through the job
    // changes nothing (the destination is not even created).
    EXPECT_EQ(json("verify " + std::to_string(job2))["tables"].Size(), 2u);
    std::string folder;
    for (const auto& t : second["tables"].GetArray())
        if (std::string(t["table"].GetString()) == a) folder = t["folder"].GetString();
    ASSERT_EQ(folder.compare(0, temp.path().size() + 1, temp.path() + "/"), 0) << folder;
    const std::string chunk = folder.substr(temp.path().size() + 1) + "/data-000001.jsonl";
    std::string bytes = temp.read(chunk);
    ASSERT_GT(bytes.size(), 700u);
    bytes[700] = static_cast<char>(bytes[700] ^ 0xFF);
    temp.write(chunk, bytes);
    auto damaged = json("verify " + std::to_string(job2) + " --table " + tableA, 1);
    ASSERT_EQ(damaged["tables"].Size(), 1u);
    EXPECT_EQ(std::string(damaged["tables"][0]["status"].GetString()), "damaged");
    EXPECT_EQ(std::string(damaged["tables"][0]["object"].GetString()),
              "/" + first + "/" + a + "/I" + std::to_string(job2) + "/data-000001.jsonl");
    EXPECT_EQ(damaged["tables"][0]["offset"].GetInt64(), 700);
    const std::string a4 = testing_support::uniqueTableName("pitafour");
    auto refused = json("restore pit --table " + tableA + "=" + first + "/" + a4, 1);
    EXPECT_FALSE(refused["serviceChanged"].GetBool());
    EXPECT_EQ(refused["restoreJob"].GetInt64(), 0);
    EXPECT_NE(std::string(refused["error"]["message"].GetString()).find("data-000001.jsonl"), std::string::npos);
    EXPECT_EQ(aztable("table describe " + a4).status, 1) << "nothing was created";
}

// The same table twice, one copy in a subclient that tracks deletions: full job, changes with
// deletions, incremental job, more of both, a second incremental. Restored to the time of the
// first incremental, the tracked copy equals the table as it was then; the untracked one brings
// the deleted entities back. Restored into an existing table as it was then (--use-existing),
// the tracked chain deletes there what was deleted since, and only that. A flipped byte in a key
// set is named by verify, and the restore then changes nothing.
TEST_F(JobsTest, DeletionsAreRestoredWhereTheSubclientTracksThem) {
    const std::string a = sampleTable("dela", 300), b = sampleTable("delb", 300), kept = sampleTable("delkept", 300);
    auto change = [&](const std::string& table, const std::string& arguments) {
        auto changed = aztable("sample-data --table " + table + " --count 300 " + arguments);
        ASSERT_EQ(changed.status, 0) << changed.output;
    };
    auto compare = [&](const std::string& one, const std::string& other) {
        auto compared = aztable("compare-tables --table " + one + " --other " + other);
        if (compared.status != 0) std::cerr << compared.output << "\n";
        return compared.status;
    };
    ASSERT_EQ(aztable("subclient create tracked --track-deletions --table " + first + "/" + a + " " + home).status, 0);
    ASSERT_EQ(aztable("subclient create untracked --table " + first + "/" + b + " " + home).status, 0);
    auto backup = [&](const std::string& subclient) {
        auto job = json("backup " + subclient);
        EXPECT_EQ(job["tables"][0].HasMember("keys"), subclient == "tracked");
        return job;
    };
    backup("tracked");
    backup("untracked");
    for (const auto& t : {a, b, kept}) change(t, "--update-fraction 0.2 --delete-fraction 0.1");
    auto i1 = backup("tracked");
    const long long r1 = i1["referenceTime"].GetInt64(), r1b = backup("untracked")["referenceTime"].GetInt64();
    ASSERT_NO_FATAL_FAILURE(awaitServiceTimeAfter(credentials, std::max(r1, r1b) + AzureTableBackupJob::kBoundMarginSeconds));
    for (const auto& t : {a, b}) change(t, "--seed 1 --delete-fraction 0.3");
    auto i2 = backup("tracked");
    backup("untracked");

    const std::string a1 = testing_support::uniqueTableName("delaone"), b1 = testing_support::uniqueTableName("delbone");
    auto trackedRestore = json("restore tracked --to-time " + std::to_string(r1) + " --table " + first + "/" + a + "=" +
                               first + "/" + a1);
    const auto& tracked = trackedRestore["tables"][0];
    EXPECT_GT(tracked["entitiesLeftOut"].GetUint64(), 0u);
    EXPECT_EQ(tracked["entitiesWritten"].GetUint64() + tracked["entitiesLeftOut"].GetUint64(),
              tracked["entities"].GetUint64());
    EXPECT_EQ(compare(a1, kept), 0) << "the tracked restore brought back what was deleted before its job";
    auto untrackedRestore = json("restore untracked --to-time " + std::to_string(r1b) + " --table " + first + "/" + b +
                                 "=" + first + "/" + b1);
    const auto& untracked = untrackedRestore["tables"][0];
    EXPECT_FALSE(untracked.HasMember("entitiesLeftOut"));
    EXPECT_EQ(compare(b1, kept), 1) << "without key sets the deleted entities come back";

    // Into the table as it was at the first incremental: the newest chain deletes there what was
    // deleted since, and leaves alone a key no backup holds.
    IdaLoggingEnvironment environment("extra entity");
    AzureTableCredentials copy = credentials;
    AzureTableStorage client(copy, environment);
    ASSERT_EQ(client.insertOrReplaceEntity(kept, "{\"odata.etag\":\"e\",\"PartitionKey\":\"zz\",\"RowKey\":\"extra\",\"V\":1}"), Success);
    auto existing = json("restore tracked --use-existing --table " + first + "/" + a + "=" + first + "/" + kept);
    EXPECT_GT(existing["tables"][0]["entitiesDeleted"].GetUint64(), 0u);
    EXPECT_EQ(compare(kept, a), 1) << "the entity no backup holds is still there";
    ASSERT_EQ(client.deleteEntity(kept, "zz", "extra"), Success);
    EXPECT_EQ(compare(kept, a), 0);

    // A flipped byte in the newest key set.
    const long long job2 = i2["job"].GetInt64();
    const std::string folder = i2["tables"][0]["folder"].GetString();
    const std::string keys = folder.substr(temp.path().size() + 1) + "/keys.jsonl";
    std::string bytes = temp.read(keys);
    ASSERT_GT(bytes.size(), 150u);
    bytes[150] = static_cast<char>(bytes[150] ^ 0xFF);
    temp.write(keys, bytes);
    auto damaged = json("verify " + std::to_string(job2), 1);
    EXPECT_EQ(std::string(damaged["tables"][0]["object"].GetString()),
              "/" + first + "/" + a + "/I" + std::to_string(job2) + "/keys.jsonl");
    auto refused = json("restore tracked --table " + first + "/" + a + "=" + first + "/" + a1 + "x", 1);
    EXPECT_FALSE(refused["serviceChanged"].GetBool());
}
