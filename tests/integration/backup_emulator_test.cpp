// Backups of emulator tables through the controller: full then incremental with exactly the
// entities their bounds select, and a backup killed mid-scan that the same command completes.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "backup/AzureTableBackup.h"
#include "platform/store/BackupReader.h"
#include "table_service/AzureTableStorage.h"
#include "tests/support/Emulator.h"
#include "tests/support/MemoryEnvironment.h"
#include "tests/support/TempFolder.h"

extern char** environ;

namespace {

const std::string kAztable = std::string(AZT_BINARY_DIR) + "/bin/aztable";

struct Entity {
    std::string line;
    long long seconds = 0;  // Timestamp, whole seconds since 1970
    long fraction = 0;      // and its 7 fractional digits
};

using Table = std::map<std::string, Entity>;  // "pk\nrk" -> entity

// Parses an entity line; its Timestamp has the service's form 2026-01-02T03:04:05.1234567Z.
Entity parseEntity(const std::string& line, std::string& key) {
    rapidjson::Document d;
    d.Parse(line.c_str(), line.size());
    EXPECT_FALSE(d.HasParseError()) << line;
    Entity e;
    e.line = line;
    key = std::string(d["PartitionKey"].GetString()) + "\n" + d["RowKey"].GetString();
    std::string ts = d["Timestamp"].GetString();
    struct tm t {};
    EXPECT_NE(strptime(ts.c_str(), "%Y-%m-%dT%H:%M:%S", &t), nullptr) << ts;
    e.seconds = static_cast<long long>(timegm(&t));
    size_t dot = ts.find('.');
    if (dot != std::string::npos) {
        std::string digits = ts.substr(dot + 1, ts.size() - dot - 2);
        digits.resize(7, '0');
        e.fraction = std::stol(digits);
    }
    return e;
}

// Runs the controller with the connection string in its environment; returns its exit status.
int runAztable(const std::vector<std::string>& args, const std::string& connection, std::string* output = nullptr) {
    std::string command = "AZURE_STORAGE_CONNECTION_STRING=" + testing_support::shellQuote(connection) + " " +
                          testing_support::aztableCommand();
    for (const auto& a : args) command += " " + testing_support::shellQuote(a);
    std::string text;
    int status = testing_support::runShell(command, text);
    if (output) *output = text;
    return status;
}

class BackupEmulatorTest : public testing_support::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        table = testing_support::uniqueTableName("bk");
    }

    // Every entity of the table now, read through the library's own scan.
    Table listTable() {
        testing_support::MemoryEnvironment env;
        QueryEntitiesArgs args;
        args.credentials = &credentials;
        args.environment = &env;
        args.tableName = table;
        EXPECT_TRUE(AzureTableBackupRunner::executeLowLevel(&args));
        Table all;
        std::stringstream in(env.output(table).data());
        std::string line, key;
        while (std::getline(in, line)) {
            Entity e = parseEntity(line, key);
            all[key] = e;
        }
        return all;
    }

    // Starts `aztable backup-table` on this test's table with the pause hook at `pages` pages and
    // returns once it says it paused (its pid; 0 on failure). `errFd` is its stderr.
    pid_t spawnPaused(const std::string& dir, int pages, int& errFd) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return 0;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) envText.push_back(*e);
        envText.push_back("AZURE_STORAGE_CONNECTION_STRING=" + connection);
        envText.push_back("AZTABLE_TEST_PAUSE_AFTER_PAGES=" + std::to_string(pages));
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::vector<std::string> argText = {kAztable, "backup-table", "--table", table, "--out", dir};
        std::vector<char*> argv;
        for (auto& a : argText) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_t child = 0;
        int rc = posix_spawn(&child, kAztable.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        errFd = pipeFds[0];
        if (rc != 0) return 0;
        std::string expected = "test pause after " + std::to_string(pages) + " pages\n", said;
        char c;
        while (said.find(expected) == std::string::npos && ::read(errFd, &c, 1) == 1) said += c;
        EXPECT_NE(said.find(expected), std::string::npos) << said;
        return said.find(expected) == std::string::npos ? 0 : child;
    }

    // The backup in `dir`: its manifest and its entities, each key exactly once.
    Table readBackup(const std::string& dir, platform::store::BackupManifest& manifest) {
        std::string error;
        auto reader = platform::store::BackupReader::open(dir, error);
        EXPECT_TRUE(reader) << error;
        Table all;
        if (!reader) return all;
        manifest = reader->manifest();
        EXPECT_TRUE(reader->verify(error)) << error;
        std::string line, key;
        while (reader->nextLine(line)) {
            Entity e = parseEntity(line, key);
            EXPECT_EQ(all.count(key), 0u) << "entity stored twice: " << key;
            all[key] = e;
        }
        EXPECT_FALSE(reader->error()) << reader->errorMessage();
        return all;
    }

    // The entities of `source` whose Timestamp lies in (from, to]; 0 = no bound. The emulator
    // compares time stamps to the millisecond (a batch's entities share one time stamp, so a
    // whole batch at second.0000xyz counts as at the bound), and so does this selection.
    static Table select(const Table& source, long long from, long long to) {
        Table out;
        for (const auto& entry : source) {
            const Entity& e = entry.second;
            long milliseconds = e.fraction / 10000;
            bool afterFrom = from == 0 || e.seconds > from || (e.seconds == from && milliseconds > 0);
            bool upToTo = to == 0 || e.seconds < to || (e.seconds == to && milliseconds == 0);
            if (afterFrom && upToTo) out[entry.first] = e;
        }
        return out;
    }

    static void expectSameEntities(const Table& stored, const Table& expected) {
        EXPECT_EQ(stored.size(), expected.size());
        for (const auto& entry : expected) {
            auto found = stored.find(entry.first);
            EXPECT_EQ(found == stored.end() ? "(missing)" : found->second.line, entry.second.line);
        }
    }

    std::string table;
    testing_support::TempFolder temp;
    const std::string folder = temp.path();
};

}  // namespace

TEST_F(BackupEmulatorTest, FullThenIncrementalHoldExactlyTheEntitiesTheirBoundsSelect) {
    std::string out;
    ASSERT_EQ(runAztable({"sample-data", "--table", table, "--count", "3000", "--partitions", "13", "--seed", "7"},
                         connection, &out),
              0)
        << out;
    Table before = listTable();
    ASSERT_GE(before.size(), 3000u);

    ASSERT_EQ(runAztable({"backup-table", "--table", table, "--out", folder + "/full", "--chunk-size", "300000"},
                         connection, &out),
              0)
        << out;
    platform::store::BackupManifest full;
    Table fullStored = readBackup(folder + "/full", full);
    EXPECT_TRUE(full.complete);
    EXPECT_FALSE(full.incremental);
    EXPECT_GT(full.chunks.size(), 1u);
    // Run at once after the writes: without --until nothing is filtered above, so every entity
    // written before the command started is in the backup, those of the current second too.
    expectSameEntities(fullStored, before);

    // Every property type made it through as the service returned it.
    std::string all;
    for (const auto& entry : before) all += entry.second.line;
    for (const char* text : {"Edm.Int64", "\"Two\":2.0", "\"NaN\"", "\"-Infinity\"", "Edm.DateTime", "Edm.Guid",
                             "Edm.Binary", "\"Active\":true", "東京", "900719925"})
        EXPECT_NE(all.find(text), std::string::npos) << text;

    ASSERT_EQ(runAztable({"sample-data", "--table", table, "--count", "3000", "--partitions", "13", "--seed", "7",
                          "--update-fraction", "0.1"},
                         connection, &out),
              0)
        << out;
    Table after = listTable();
    ASSERT_GT(after.size(), before.size() + 200);

    ASSERT_EQ(runAztable({"backup-table", "--table", table, "--out", folder + "/incremental", "--since",
                          std::to_string(full.toTime)},
                         connection, &out),
              0)
        << out;
    platform::store::BackupManifest incremental;
    Table incrementalStored = readBackup(folder + "/incremental", incremental);
    EXPECT_TRUE(incremental.incremental);
    EXPECT_EQ(incremental.fromTime, full.toTime);
    expectSameEntities(incrementalStored, select(after, full.toTime, 0));
    size_t changed = 0;
    for (const auto& entry : after) changed += entry.second.line.find("\"Version\":1") != std::string::npos;
    EXPECT_GT(changed, 200u);
}

TEST_F(BackupEmulatorTest, ABackupKilledMidScanIsCompletedByTheSameCommand) {
    std::string out;
    ASSERT_EQ(runAztable({"sample-data", "--table", table, "--count", "5000", "--partitions", "9"}, connection, &out),
              0)
        << out;
    const std::string dir = folder + "/killed";

    // The hook makes two pages durable, writes a third without making it durable, says so on
    // stderr and waits; the test reads that line instead of waiting for time to pass.
    int errFd = -1;
    pid_t child = spawnPaused(dir, 2, errFd);
    ASSERT_GT(child, 0);
    platform::store::BackupManifest paused;
    {
        std::string error;
        auto reader = platform::store::BackupReader::open(dir, error, platform::store::posixFileSystem(), true);
        ASSERT_TRUE(reader) << error;
        paused = reader->manifest();
    }
    EXPECT_EQ(paused.pages, 2u);
    EXPECT_FALSE(paused.complete);
    std::ifstream chunk(dir + "/" + paused.chunks.back().file, std::ios::binary | std::ios::ate);
    EXPECT_GT(static_cast<uint64_t>(chunk.tellg()), paused.chunks.back().bytes);  // a torn tail

    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(errFd);
    EXPECT_TRUE(WIFSIGNALED(status));

    ASSERT_EQ(runAztable({"backup-table", "--table", table, "--out", dir}, connection, &out), 0) << out;
    platform::store::BackupManifest done;
    Table stored = readBackup(dir, done);
    EXPECT_TRUE(done.complete);
    EXPECT_EQ(done.toTime, paused.toTime);  // the resumed run kept the interrupted run's bound
    expectSameEntities(stored, listTable());

    ASSERT_EQ(runAztable({"backup-table", "--table", table, "--out", dir}, connection, &out), 0) << out;
    EXPECT_NE(out.find("already complete"), std::string::npos) << out;
}

TEST_F(BackupEmulatorTest, SigtermStopsAtAPageBoundaryAndTheSameCommandResumes) {
    std::string out;
    ASSERT_EQ(runAztable({"sample-data", "--table", table, "--count", "4000", "--partitions", "5"}, connection, &out),
              0)
        << out;
    const std::string dir = folder + "/stopped";
    int errFd = -1;
    pid_t child = spawnPaused(dir, 1, errFd);
    ASSERT_GT(child, 0);
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    std::string said;
    char c;
    while (::read(errFd, &c, 1) == 1) said += c;
    ::close(errFd);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << said;
    EXPECT_EQ(WEXITSTATUS(status), 3) << said;
    EXPECT_NE(said.find("run the same backup again"), std::string::npos) << said;

    std::string error;
    auto reader = platform::store::BackupReader::open(dir, error, platform::store::posixFileSystem(), true);
    ASSERT_TRUE(reader) << error;
    EXPECT_FALSE(reader->manifest().complete);
    EXPECT_GE(reader->manifest().pages, 2u);  // the pages taken before the stop are all kept
    EXPECT_TRUE(reader->verify(error)) << error;

    ASSERT_EQ(runAztable({"backup-table", "--table", table, "--out", dir}, connection, &out), 0) << out;
    platform::store::BackupManifest done;
    Table stored = readBackup(dir, done);
    expectSameEntities(stored, listTable());
}

TEST_F(BackupEmulatorTest, BadUsageIsRefusedBeforeAnythingIsWritten) {
    std::string out;
    EXPECT_EQ(runAztable({"backup-table", "--table", table}, connection, &out), 2) << out;
    EXPECT_EQ(runAztable({"backup-table", "--table", table, "--out", folder + "/x", "--since", "200", "--until", "100"},
                         connection, &out),
              2)
        << out;
    EXPECT_EQ(runAztable({"backup-table", "--table", table, "--out", folder + "/x", "--chunk-size", "-5"}, connection,
                         &out),
              2)
        << out;
    EXPECT_EQ(::access((folder + "/x").c_str(), F_OK), -1);
}
