// Backups of emulator tables through the controller: full then incremental with exactly the
// entities their bounds select, and a backup killed mid-scan or stopped by SIGTERM that the same
// command completes.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "backup/AzureTableBackup.h"
#include "tests/support/BackupFolder.h"
#include "tests/support/Emulator.h"
#include "tests/support/MemoryEnvironment.h"

namespace {

using testing_support::readUntil;
using testing_support::shellQuote;

struct Entity {
    std::string line;
    std::string stamp;  // its Timestamp to the millisecond: 2026-01-02T03:04:05.123
};

using Table = std::map<std::string, Entity>;  // "pk\nrk" -> entity

// Adds an entity line to `table`; false when its key was there already.
bool addEntity(Table& table, const std::string& line) {
    rapidjson::Document d;
    d.Parse(line.c_str(), line.size());
    EXPECT_FALSE(d.HasParseError()) << line;
    if (d.HasParseError()) return true;
    const std::string ts = d["Timestamp"].GetString();  // 2026-01-02T03:04:05.1234567Z, or no fraction
    const std::string fraction = ts.size() > 21 ? ts.substr(20, ts.size() - 21) : "";
    return table.emplace(std::string(d["PartitionKey"].GetString()) + "\n" + d["RowKey"].GetString(),
                         Entity{line, ts.substr(0, 19) + "." + (fraction + "000").substr(0, 3)}).second;
}

class BackupEmulatorTest : public testing_support::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        table = testing_support::uniqueTableName("bk");
    }
    void run(const std::string& arguments, const std::string& says = "") {
        auto result = aztable(arguments);
        ASSERT_EQ(result.status, 0) << arguments << ": " << result.output;
        EXPECT_NE(result.output.find(says), std::string::npos) << result.output;
    }
    std::string backupInto(const std::string& dir) { return "backup-table --table " + table + " --out " + shellQuote(dir); }

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
        for (std::string line; std::getline(in, line);) addEntity(all, line);
        return all;
    }

    // The backup in `dir` (it may be unfinished): its manifest and its entities, each key once.
    static Table readBackup(const std::string& dir, platform::store::BackupManifest& manifest) {
        Table all;
        for (const auto& line : testing_support::readBackupLines(dir, true, &manifest))
            EXPECT_TRUE(addEntity(all, line)) << "stored twice: " << line;
        return all;
    }

    // Starts the backup of the table into `dir` with the test hook that pauses it after `pages`
    // pages, and returns once it says so: its pid (0 on failure), its output in `output`.
    pid_t spawnPaused(const std::string& dir, int pages, int& output) {
        pid_t child = spawnAztable(backupInto(dir), output, "AZTABLE_TEST_PAUSE_AFTER_PAGES=" + std::to_string(pages));
        std::string said;
        bool paused = child && readUntil(output, said, "test pause after " + std::to_string(pages) + " pages\n");
        EXPECT_TRUE(paused) << said;
        return paused ? child : 0;
    }

    // The entities of `source` whose Timestamp lies after `from`. The emulator compares time
    // stamps to the millisecond (a batch's entities share one time stamp, so a whole batch at
    // second.0000xyz counts as at the bound), and so does this selection.
    static Table after(const Table& source, long long from) {
        const std::string bound = AzureTableStorage::toAzureFormatTime(from).substr(0, 19) + ".000";
        Table out;
        for (const auto& entry : source)
            if (entry.second.stamp > bound) out.insert(entry);
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
    const std::string sample = "sample-data --table " + table + " --count 3000 --partitions 13 --seed 7";
    ASSERT_NO_FATAL_FAILURE(run(sample));
    Table before = listTable();
    ASSERT_GE(before.size(), 3000u);

    ASSERT_NO_FATAL_FAILURE(run(backupInto(folder + "/full") + " --chunk-size 300000"));
    platform::store::BackupManifest full;
    Table fullStored = readBackup(folder + "/full", full);
    EXPECT_TRUE(full.complete);
    EXPECT_FALSE(full.incremental);
    EXPECT_GT(full.chunks.size(), 1u);
    // Run at once after the writes: without --until nothing is filtered above, so every entity
    // written before the command started is in the backup, those of the current second too.
    expectSameEntities(fullStored, before);
    std::string all;  // sample-data writes every property type
    for (const auto& entry : before) all += entry.second.line;
    for (const char* text : {"Edm.Int64", "\"Two\":2.0", "\"NaN\"", "\"-Infinity\"", "Edm.DateTime", "Edm.Guid",
                             "Edm.Binary", "\"Active\":true", "東京", "900719925"})
        EXPECT_NE(all.find(text), std::string::npos) << text;

    ASSERT_NO_FATAL_FAILURE(run(sample + " --update-fraction 0.1"));
    Table now = listTable();
    ASSERT_GT(now.size(), before.size() + 200);

    ASSERT_NO_FATAL_FAILURE(run(backupInto(folder + "/incremental") + " --since " + std::to_string(full.toTime)));
    platform::store::BackupManifest incremental;
    Table incrementalStored = readBackup(folder + "/incremental", incremental);
    EXPECT_TRUE(incremental.complete && incremental.incremental);
    EXPECT_EQ(incremental.fromTime, full.toTime);
    expectSameEntities(incrementalStored, after(now, full.toTime));
    size_t changed = 0;
    for (const auto& entry : now) changed += entry.second.line.find("\"Version\":1") != std::string::npos;
    EXPECT_GT(changed, 200u);
}

// SIGTERM stops a backup at a page boundary with every page taken kept; the same command resumes
// it, and when that run is killed mid-scan (a page written, not yet durable), completes it.
TEST_F(BackupEmulatorTest, AStoppedThenKilledBackupIsCompletedByTheSameCommand) {
    ASSERT_NO_FATAL_FAILURE(run("sample-data --table " + table + " --count 6000 --partitions 9"));
    const std::string dir = folder + "/interrupted";
    // The hook makes a page durable, writes the next without making it durable, says so and
    // waits; the test reads that line instead of waiting for time to pass.
    int output = -1;
    pid_t child = spawnPaused(dir, 1, output);
    ASSERT_GT(child, 0);
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    std::string said;
    readUntil(output, said);
    ::close(output);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << said;
    EXPECT_EQ(WEXITSTATUS(status), 3) << said;
    EXPECT_NE(said.find("run the same backup again"), std::string::npos) << said;
    platform::store::BackupManifest stopped, paused, done;
    readBackup(dir, stopped);  // verified, as far as it went
    EXPECT_FALSE(stopped.complete);
    EXPECT_GE(stopped.pages, 2u);  // the pages taken before the stop are all kept

    child = spawnPaused(dir, 1, output);
    ASSERT_GT(child, 0);
    readBackup(dir, paused);
    EXPECT_EQ(paused.pages, stopped.pages + 1);
    ASSERT_FALSE(paused.chunks.empty());
    std::ifstream chunk(dir + "/" + paused.chunks.back().file, std::ios::binary | std::ios::ate);
    EXPECT_GT(static_cast<uint64_t>(chunk.tellg()), paused.chunks.back().bytes);  // a torn tail
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(output);
    EXPECT_TRUE(WIFSIGNALED(status));

    ASSERT_NO_FATAL_FAILURE(run(backupInto(dir)));
    expectSameEntities(readBackup(dir, done), listTable());
    EXPECT_TRUE(done.complete);
    EXPECT_EQ(done.toTime, stopped.toTime);  // the resumed runs kept the first run's bound
    ASSERT_NO_FATAL_FAILURE(run(backupInto(dir), "already complete"));
}
