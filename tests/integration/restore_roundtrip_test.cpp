// Backup and restore against the emulator, end to end: a source table with every property type
// and awkward keys is backed up in full, changed, backed up incrementally, and both backups are
// restored into a new table, which must then equal the source value by value and type by type.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/AzureTableBackupJob.h"
#include "tests/support/Emulator.h"
#include "tests/support/TempFolder.h"

namespace {

using testing_support::shellQuote;
const auto line = testing_support::entityToWrite;

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
    // Backs `table` up into `folder`, incrementally from `from` when given; returns the bound the
    // backup recorded for the next incremental one (the service's clock less a margin).
    long long backup(const std::string& table, const std::string& folder, long long from = 0) {
        AzureTableBackupJobOptions options;
        options.folder = folder;
        options.table = table;
        options.incremental = from > 0;
        options.fromTime = from;
        AzureTableBackupJob job(credentials, options);
        std::string message;
        EXPECT_EQ(job.run(message), AzureTableBackupJob::Result::Complete) << message;
        return job.environment() ? job.environment()->manifest().toTime : 0;
    }
    testing_support::CommandResult compare(const std::string& a, const std::string& b) {
        return aztable("compare-tables --table " + a + " --other " + b);
    }
    // Restores the backups in `folders` (full first) into `table` with the controller.
    testing_support::CommandResult restore(const std::vector<std::string>& folders, const std::string& table,
                                           const std::string& options = "") {
        std::string arguments = "restore-table --table " + table + options;
        for (const auto& folder : folders) arguments += " --from " + shellQuote(folder);
        return aztable(arguments);
    }

    testing_support::TempFolder temp;
    const std::string store = temp.path();
};

}  // namespace

TEST_F(RestoreRoundTrip, FullAndIncrementalRestoreEqualsTheSource) {
    const std::string source = testing_support::uniqueTableName("src");
    const std::string full = store + "/full", incremental = store + "/incremental";
    createTable(source);
    std::vector<std::string> lines{line("single", "all-types", kAllTypes)};
    // U+FF01 and U+1F600 sort one way by their UTF-8 bytes and the other by UTF-16 code units.
    for (const char* rk : {"a b", "50%", "c+d", "e&f", "\xc3\xbc\xe6\x97\xa5\xe6\x9c\xac", "it's", "\"quoted\"", "''",
                           "%27", "x=1;y=2", "\xef\xbc\x81", "\xf0\x9f\x98\x80"})
        lines.push_back(line("it's \"odd\" 100% + & \xc3\xbc", rk, "\"v\":1"));
    for (int i = 0; i < 250; ++i) lines.push_back(line("many", "r" + std::to_string(1000 + i), "\"v\":" + std::to_string(i)));
    ASSERT_NO_FATAL_FAILURE(writeEntities(source, lines));
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
    ASSERT_NO_FATAL_FAILURE(writeEntities(source, big));
    const long long t1 = backup(source, full);

    // Changes after the full backup: new values, new types, new entities.
    std::vector<std::string> changes{line("single", "all-types", std::string(kAllTypes) + ",\"extra\":3"),
                                     line("added", "it's \"new\"", "\"v\":-1")};
    for (int i = 0; i < 10; ++i)
        changes.push_back(line("many", "r" + std::to_string(1000 + i), "\"v\":\"changed\",\"w\":1.5"));
    for (int i = 0; i < 30; ++i) changes.push_back(line("added", "n" + std::to_string(i), "\"v\":" + std::to_string(i)));
    ASSERT_NO_FATAL_FAILURE(writeEntities(source, changes));
    backup(source, incremental, t1);

    const std::string viaCli = testing_support::uniqueTableName("cli");
    auto restored = restore({full, incremental}, viaCli);
    ASSERT_EQ(restored.status, 0) << restored.output;
    auto compared = compare(source, viaCli);
    EXPECT_EQ(compared.status, 0) << compared.output;
    EXPECT_NE(compared.output.find("are equal (" + std::to_string(lines.size() + big.size() + 30 + 1) + " entities)"),
              std::string::npos) << compared.output;

    // The full backup alone is the state before the changes: it must differ from the source.
    const std::string fullOnly = testing_support::uniqueTableName("old");
    ASSERT_EQ(restore({full}, fullOnly).status, 0);
    compared = compare(source, fullOnly);
    EXPECT_EQ(compared.status, 1) << compared.output;
    EXPECT_NE(compared.output.find("only in " + source), std::string::npos) << compared.output;
}

TEST_F(RestoreRoundTrip, CompareSeesTypesValuesAndMissingEntities) {
    const std::string a = testing_support::uniqueTableName("cmpa"), c = testing_support::uniqueTableName("cmpc");
    for (const auto& table : {a, c}) createTable(table);
    writeEntities(a, {line("p", "1", "\"n\":5"), line("p", "2", "\"d\":2.0,\"d@odata.type\":\"Edm.Double\""),
                      line("p", "3", "\"s\":\"x\"")});
    writeEntities(c, {line("p", "1", "\"n@odata.type\":\"Edm.Int64\",\"n\":\"5\""), line("p", "2", "\"d\":2"),
                      line("p", "4", "\"s\":\"x\"")});
    auto differ = compare(a, c);
    EXPECT_EQ(differ.status, 1) << differ.output;
    for (const std::string& says : {"property n: " + a + " has Edm.Int32 5, " + c + " has Edm.Int64 5",
                                    "property d: " + a + " has Edm.Double 2, " + c + " has Edm.Int32 2",
                                    "only in " + a + ": (PartitionKey 'p', RowKey '3')",
                                    "only in " + c + ": (PartitionKey 'p', RowKey '4')"})
        EXPECT_NE(differ.output.find(says), std::string::npos) << says << " in " << differ.output;
}

// Ctrl-C in the middle of a restore says how far it got and that a rerun is safe; the rerun then
// completes the table. A backup that fails verification changes nothing in the service: the
// destination keeps its entities even with --overwrite, and a missing one is not created.
TEST_F(RestoreRoundTrip, AnInterruptedRestoreIsCompletedByARerunAndADamagedBackupChangesNothing) {
    const std::string source = testing_support::uniqueTableName("kill");
    createTable(source);
    for (int partition = 0; partition < 6; ++partition) {
        std::vector<std::string> lines;
        for (int i = 0; i < 500; ++i)
            lines.push_back(line("p" + std::to_string(partition), "r" + std::to_string(i), "\"v\":" + std::to_string(i)));
        ASSERT_NO_FATAL_FAILURE(writeEntities(source, lines));
    }
    const std::string folder = store + "/full";
    backup(source, folder);

    // The restore's debug log goes to its output pipe: reading it tells exactly how far the
    // restore got, without waiting on a clock.
    const std::string destination = testing_support::uniqueTableName("dest");
    int output = -1;
    pid_t child = spawnAztable("restore-table --from " + shellQuote(folder) + " --table " + destination +
                               " --debug-log /dev/stderr", output);
    ASSERT_GT(child, 0);
    const std::string marker = "batchInsert: Items insert successful";
    std::string said;
    int written = 0;
    for (size_t at = 0; written < 5 && testing_support::readUntil(output, said, marker, at); ++written)
        at = said.find(marker, at) + marker.size();
    ::kill(child, SIGINT);
    testing_support::readUntil(output, said);  // to its end: the restore never blocks on a full pipe
    ::close(output);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(written, 5) << "the restore ended or stalled before it was interrupted";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    for (const std::string& says : {"does not exist in account " + credentials.accountName + ": creating it",
                                    std::string("stopped on request after writing"),
                                    std::string("Running the same command again is safe")})
        EXPECT_NE(said.find(says), std::string::npos) << says;

    EXPECT_EQ(compare(source, destination).status, 1) << "the first run was cut short";
    auto again = restore({folder}, destination);
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("writing into it as it is"), std::string::npos) << again.output;
    auto compared = compare(source, destination);
    EXPECT_EQ(compared.status, 0) << compared.output;

    // One flipped byte in the middle of the chunk.
    std::string chunk = temp.read("full/data-000001.jsonl");
    chunk[chunk.size() / 2] ^= 0x01;
    temp.write("full/data-000001.jsonl", chunk);
    auto damaged = restore({folder}, destination, " --overwrite");
    EXPECT_EQ(damaged.status, 1);
    for (const char* says : {"damaged", "data-000001.jsonl"}) EXPECT_NE(damaged.output.find(says), std::string::npos) << damaged.output;
    EXPECT_EQ(compare(source, destination).status, 0);
    const std::string fresh = testing_support::uniqueTableName("never");
    EXPECT_EQ(restore({folder}, fresh).status, 1);
    auto described = aztable("table describe " + fresh);
    EXPECT_TRUE(described.status == 1 && described.output.find("does not exist") != std::string::npos) << described.output;
}
