// Backup and restore against the emulator, end to end: a source table with every property type
// and awkward keys is backed up in full, changed, backed up incrementally, and both backups are
// restored into a new table, which must then equal the source value by value and type by type.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <ctime>
#include <string>
#include <vector>

#include "backup/AzureTableBackupJob.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/store/RestoreEnvironment.h"
#include "restore/AzureTableRestore.h"
#include "table_service/AzureTableStorage.h"
#include "tests/support/Emulator.h"
#include "tests/support/TempFolder.h"

namespace {

using testing_support::runShell;
using testing_support::shellQuote;

const std::string aztable = testing_support::aztableCommand();

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A line as the backup would have it: a first member that the writer strips, then the entity.
std::string line(const std::string& pk, const std::string& rk, const std::string& properties) {
    return "{\"odata.etag\":\"W/\\\"x\\\"\",\"PartitionKey\":" + jsonString(pk) + ",\"RowKey\":" + jsonString(rk) +
           (properties.empty() ? "" : "," + properties) + "}";
}

const char* kAllTypes =
    "\"d2\":2.0,\"d2@odata.type\":\"Edm.Double\",\"dfrac\":0.1,\"nan@odata.type\":\"Edm.Double\",\"nan\":\"NaN\","
    "\"inf@odata.type\":\"Edm.Double\",\"inf\":\"Infinity\",\"ninf@odata.type\":\"Edm.Double\",\"ninf\":\"-Infinity\","
    "\"i64@odata.type\":\"Edm.Int64\",\"i64\":\"9007199254740993\",\"i64neg@odata.type\":\"Edm.Int64\","
    "\"i64neg\":\"-9223372036854775808\",\"i32\":-2147483648,"
    "\"dt@odata.type\":\"Edm.DateTime\",\"dt\":\"2024-02-29T12:34:56.1234567Z\","
    "\"bin@odata.type\":\"Edm.Binary\",\"bin\":\"AAECAwT/+/8=\","
    "\"guid@odata.type\":\"Edm.Guid\",\"guid\":\"c9da6455-213d-42c9-9a79-3e9149a57833\","
    "\"s\":\"Gr\\u00fc\\u00dfe \\u65e5\\u672c \\ud83c\\udf89 \\\"quoted\\\" back\\\\slash\",\"empty\":\"\","
    "\"yes\":true,\"no\":false";

class RestoreRoundTrip : public testing_support::EmulatorTest {
protected:
    // Returns the bound the backup recorded for the next incremental one.
    long long backup(const std::string& table, const std::string& folder, bool incremental, long long from,
                     long long to) {
        AzureTableBackupJobOptions options;
        options.folder = folder;
        options.table = table;
        options.incremental = incremental;
        options.fromTime = from;
        options.toTime = to;
        AzureTableBackupJob job(credentials, options);
        std::string message;
        EXPECT_EQ(job.run(message), AzureTableBackupJob::Result::Complete) << message;
        return job.environment() ? job.environment()->manifest().toTime : 0;
    }
    int compare(const std::string& a, const std::string& b, std::string& output) {
        return runShell(aztable + " compare-tables --connection-string " + shellQuote(connection) + " --table " + a +
                       " --other " + b,
                   output);
    }
    // The source table of the round trip, backed up in full into `full` and then, after
    // changes, incrementally into `incremental`.
    void makeBackedUpSource(const std::string& source, const std::string& full, const std::string& incremental) {
        createTable(source);
        std::vector<std::string> lines;
        lines.push_back(line("single", "all-types", kAllTypes));
        for (const char* rk : {"a b", "50%", "c+d", "e&f", "\xc3\xbc\xe6\x97\xa5\xe6\x9c\xac", "it's", "\"quoted\"",
                               "''", "%27", "x=1;y=2"})
            lines.push_back(line("it's \"odd\" 100% + & \xc3\xbc", rk, "\"v\":1"));
        for (int i = 0; i < 250; ++i) lines.push_back(line("many", "r" + std::to_string(1000 + i), "\"v\":" + std::to_string(i)));
        writeEntities(source, lines);
        // Entities near the 1 MiB limit (strings count two bytes a character): 15 properties of
        // 32,000 characters, 960,000 bytes. Six of them do not fit one 4 MiB batch.
        std::vector<std::string> big;
        for (int e = 0; e < 6; ++e) {
            std::string properties;
            for (int p = 0; p < 15; ++p)
                properties += std::string(p ? "," : "") + "\"p" + std::to_string(p) + "\":\"" +
                              std::string(32000, static_cast<char>('a' + (e + p) % 26)) + "\"";
            big.push_back(line("big", "e" + std::to_string(e), properties));
        }
        writeEntities(source, big);

        // No upper bounds: each backup records the service's clock (less a margin) as where the
        // next incremental one starts.
        const long long t1 = backup(source, full, false, 0, 0);

        // Changes after the full backup: new values, new types, new entities.
        std::vector<std::string> changes;
        for (int i = 0; i < 10; ++i)
            changes.push_back(line("many", "r" + std::to_string(1000 + i), "\"v\":\"changed\",\"w\":1.5"));
        changes.push_back(line("single", "all-types", std::string(kAllTypes) + ",\"extra\":3"));
        for (int i = 0; i < 30; ++i) changes.push_back(line("added", "n" + std::to_string(i), "\"v\":" + std::to_string(i)));
        changes.push_back(line("added", "it's \"new\"", "\"v\":-1"));
        writeEntities(source, changes);
        backup(source, incremental, true, t1, 0);
    }

    testing_support::TempFolder temp;
    const std::string store = temp.path();
};

}  // namespace

TEST_F(RestoreRoundTrip, FullAndIncrementalRestoreEqualsTheSource) {
    const std::string source = testing_support::uniqueTableName("src");
    const std::string full = store + "/full", incremental = store + "/incremental";
    ASSERT_NO_FATAL_FAILURE(makeBackedUpSource(source, full, incremental));

    // Through the library: the runner with restore environments over the two folders.
    const std::string viaLibrary = testing_support::uniqueTableName("lib");
    platform::store::RestoreEnvironment fullEnv(full), incrementalEnv(incremental);
    IdaLoggingEnvironment job("");
    auto runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
    ASSERT_TRUE(runner->execute(false, viaLibrary, &fullEnv, {&incrementalEnv}, false)) << job.failureMessage();
    std::string output;
    EXPECT_EQ(compare(source, viaLibrary, output), 0) << output;

    // Through the controller.
    const std::string viaCli = testing_support::uniqueTableName("cli");
    ASSERT_EQ(runShell(aztable + " restore-table --connection-string " + shellQuote(connection) + " --from " +
                      shellQuote(full) + " --from " + shellQuote(incremental) + " --table " + viaCli,
                  output),
              0)
        << output;
    EXPECT_NE(output.find("restored"), std::string::npos) << output;
    EXPECT_EQ(compare(source, viaCli, output), 0) << output;

    // The full backup alone is the state before the changes: it must differ from the source.
    const std::string fullOnly = testing_support::uniqueTableName("old");
    ASSERT_EQ(runShell(aztable + " restore-table --connection-string " + shellQuote(connection) + " --from " +
                      shellQuote(full) + " --table " + fullOnly,
                  output),
              0)
        << output;
    EXPECT_EQ(compare(source, fullOnly, output), 1) << output;
    EXPECT_NE(output.find("only in " + source), std::string::npos) << output;
}

TEST_F(RestoreRoundTrip, ChainsWithGapsOrForeignBackupsAreRefused) {
    const std::string source = testing_support::uniqueTableName("chain");
    createTable(source);
    writeEntities(source, {line("p", "1", "")});
    const long long now = static_cast<long long>(std::time(nullptr));
    backup(source, store + "/full", false, 0, now - 100);
    backup(source, store + "/late", true, now - 50, 0);
    backup(source, store + "/ok", true, now - 100, 0);
    std::string output;
    const std::string base = aztable + " restore-table --connection-string " + shellQuote(connection) + " --table " +
                             testing_support::uniqueTableName("never");
    EXPECT_EQ(runShell(base + " --from " + store + "/full --from " + store + "/late", output), 1);
    EXPECT_NE(output.find("gap between backups"), std::string::npos) << output;
    EXPECT_EQ(runShell(base + " --from " + store + "/ok", output), 1);
    EXPECT_NE(output.find("the first --from must be a full backup"), std::string::npos) << output;
    EXPECT_EQ(runShell(base + " --from " + store + "/full --from " + store + "/full", output), 1);
    EXPECT_NE(output.find("only the first --from may be a full backup"), std::string::npos) << output;
}

// Ctrl-C in the middle of a restore says how far it got and that a rerun is safe; the rerun
// then completes the table.
TEST_F(RestoreRoundTrip, InterruptedRestoreRunAgainEqualsTheSource) {
    const std::string source = testing_support::uniqueTableName("kill");
    createTable(source);
    for (int chunk = 0; chunk < 6; ++chunk) {
        std::vector<std::string> lines;
        for (int i = 0; i < 500; ++i)
            lines.push_back(line("p" + std::to_string(chunk), "r" + std::to_string(i), "\"v\":" + std::to_string(i)));
        writeEntities(source, lines);
    }
    const std::string folder = store + "/full";
    backup(source, folder, false, 0, 0);

    // The restore's debug log goes into a pipe: reading it tells exactly how far the restore got,
    // without waiting on a clock.
    const std::string fifo = store + "/debug.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string destination = testing_support::uniqueTableName("dest");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 2);
        ::execl((std::string(AZT_BINARY_DIR) + "/bin/aztable").c_str(), "aztable", "restore-table", "--connection-string", connection.c_str(), "--from",
                folder.c_str(), "--table", destination.c_str(), "--debug-log", fifo.c_str(), (char*)nullptr);
        ::_exit(127);
    }
    // Opened read-write, so it never blocks and never reads an end before the restore opens it.
    int log = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(log, 0);
    int written = 0;
    std::string text;
    while (written < 5) {
        pollfd ready{log, POLLIN, 0};
        if (::poll(&ready, 1, 60000) != 1) break;  // the restore went quiet: give up, do not hang
        char buffer[1 << 16];
        ssize_t n = ::read(log, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = text.find('\n')) != std::string::npos) {
            if (text.substr(0, end).find("batchInsert: Items insert successful") != std::string::npos) ++written;
            text.erase(0, end + 1);
        }
    }
    ::kill(child, SIGINT);
    // Keep draining the debug log until the restore has ended, so it never blocks on a full pipe.
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        pollfd ready{log, POLLIN, 0};
        if (::poll(&ready, 1, 100) == 1) {
            char buffer[1 << 16];
            if (::read(log, buffer, sizeof buffer) <= 0) break;
        }
    }
    ::close(log);
    ASSERT_EQ(written, 5) << "the restore ended or stalled before it was interrupted";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);

    std::string output;
    EXPECT_EQ(compare(source, destination, output), 1) << "the first run was cut short";
    ASSERT_EQ(runShell(aztable + " restore-table --connection-string " + shellQuote(connection) + " --from " +
                      shellQuote(folder) + " --table " + destination,
                  output),
              0)
        << output;
    EXPECT_EQ(compare(source, destination, output), 0) << output;
}

// A chain that fails verification changes nothing in the service: an existing destination keeps
// its entities even with --overwrite, and a missing one is not created.
TEST_F(RestoreRoundTrip, ADamagedBackupChangesNothingInTheService) {
    const std::string source = testing_support::uniqueTableName("damaged");
    createTable(source);
    std::vector<std::string> lines;
    for (int i = 0; i < 300; ++i) lines.push_back(line("p" + std::to_string(i % 3), "r" + std::to_string(i), "\"v\":1"));
    writeEntities(source, lines);
    const std::string folder = store + "/full";
    backup(source, folder, false, 0, 0);
    const std::string destination = testing_support::uniqueTableName("kept");
    const std::string restore = aztable + " restore-table --connection-string " + shellQuote(connection) + " --from " +
                                shellQuote(folder) + " --table ";
    std::string output;
    ASSERT_EQ(runShell(restore + destination, output), 0) << output;

    // One flipped byte in the middle of the chunk.
    const std::string chunk = folder + "/data-000001.jsonl";
    std::fstream file(chunk, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(0, std::ios::end);
    const std::streamoff middle = file.tellg() / 2;
    file.seekg(middle);
    char c = 0;
    file.get(c);
    file.seekp(middle);
    file.put(static_cast<char>(c ^ 0x01));
    file.close();

    EXPECT_EQ(runShell(restore + destination + " --overwrite", output), 1);
    EXPECT_NE(output.find("damaged"), std::string::npos) << output;
    EXPECT_NE(output.find("data-000001.jsonl"), std::string::npos) << output;
    EXPECT_EQ(compare(source, destination, output), 0) << output;

    const std::string fresh = testing_support::uniqueTableName("never");
    EXPECT_EQ(runShell(restore + fresh, output), 1);
    EXPECT_EQ(runShell(aztable + " table describe --connection-string " + shellQuote(connection) + " " + fresh, output),
              1);
    EXPECT_NE(output.find("does not exist"), std::string::npos) << output;
}
