// The controller's table and backup commands against the emulator (the client's own table
// lifecycle is in table_service_conformance_test.cpp).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/support/Emulator.h"
#include "tests/support/TempFolder.h"

namespace {

using TableLifecycleTest = testing_support::EmulatorTest;

struct CommandResult {
    int status = -1;
    std::string output;  // stdout and stderr together
};

using testing_support::shellQuote;

CommandResult aztable(const std::string& arguments, const std::string& environment = "") {
    CommandResult result;
    result.status = testing_support::runShell(environment + " " + testing_support::aztableCommand() + " " + arguments,
                                              result.output);
    return result;
}

}  // namespace

TEST_F(TableLifecycleTest, TableCommandRunsATableThroughItsLife) {
    std::string option = "--connection-string " + shellQuote(connection);
    std::string name = testing_support::uniqueTableName("cli");

    CommandResult created = aztable("table create " + name + " --wait " + option);
    EXPECT_EQ(created.status, 0) << created.output;
    EXPECT_NE(created.output.find("created table " + name), std::string::npos) << created.output;

    // The connection string may come from the environment instead.
    CommandResult described =
        aztable("table describe " + name, "AZURE_STORAGE_CONNECTION_STRING=" + shellQuote(connection));
    EXPECT_EQ(described.status, 0) << described.output;
    EXPECT_NE(described.output.find("\"TableName\":\"" + name + "\""), std::string::npos) << described.output;

    CommandResult listed = aztable("table list " + option);
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_NE(listed.output.find(name + "\n"), std::string::npos) << listed.output;

    CommandResult deleted = aztable("table delete " + name + " --wait " + option);
    EXPECT_EQ(deleted.status, 0) << deleted.output;
    EXPECT_NE(deleted.output.find("table " + name + " is gone"), std::string::npos) << deleted.output;

    CommandResult gone = aztable("table describe " + name + " " + option);
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.output.find("does not exist"), std::string::npos) << gone.output;
}

TEST_F(TableLifecycleTest, TableCommandRefusesBadInputClearly) {
    CommandResult none = aztable("table list", "env -u AZURE_STORAGE_CONNECTION_STRING");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.output.find("AZURE_STORAGE_CONNECTION_STRING"), std::string::npos) << none.output;

    CommandResult badKey = aztable("table list --connection-string 'AccountName=a1;AccountKey=s3cr3t!'");
    EXPECT_EQ(badKey.status, 2);
    EXPECT_NE(badKey.output.find("not valid base64"), std::string::npos) << badKey.output;
    EXPECT_EQ(badKey.output.find("s3cr3t"), std::string::npos) << badKey.output;

    std::string wrongKey = "AccountName=" + credentials.accountName + ";AccountKey=d3Jvbmcta2V5;TableEndpoint=" +
                           credentials.accountUrl;
    CommandResult refused = aztable("table describe abc --connection-string " + shellQuote(wrongKey));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("refused the account key of " + credentials.accountName), std::string::npos)
        << refused.output;
    EXPECT_EQ(refused.output.find("d3Jvbmcta2V5"), std::string::npos) << refused.output;

    // Every command checks a table name before it sends anything (the key here is wrong, so a
    // request would fail differently).
    for (const char* command : {"table create 'no good'", "backup-table --table 'no good' --out /nonexistent/x",
                                "restore-table --from /nonexistent/x --table 'no good'",
                                "compare-tables --table ab --other abc", "sample-data --table 1abc --count 1"}) {
        CommandResult badName = aztable(std::string(command) + " --connection-string " + shellQuote(wrongKey));
        EXPECT_EQ(badName.status, 2) << command << ": " << badName.output;
        EXPECT_NE(badName.output.find("not a table name"), std::string::npos) << command << ": " << badName.output;
    }
}

// The backup command puts the service's refusals into words and leaves nothing behind; the key
// can come from a file, so it never has to be on a command line.
TEST_F(TableLifecycleTest, BackupFailuresAreSaidInWordsAndTheKeyCanComeFromAFile) {
    testing_support::TempFolder temp;
    temp.write("conn", connection + "\n");
    ::chmod(temp.file("conn").c_str(), 0600);
    const std::string fromFile = " --connection-string-file " + shellQuote(temp.file("conn"));

    CommandResult missing = aztable("backup-table --table nosuchtable --out " + shellQuote(temp.file("b")) + fromFile);
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("table nosuchtable does not exist in account " + credentials.accountName),
              std::string::npos)
        << missing.output;
    EXPECT_EQ(missing.output.find("run the same command again"), std::string::npos) << missing.output;
    EXPECT_FALSE(testing_support::pathExists(temp.file("b")));

    std::string wrongKey = "AccountName=" + credentials.accountName + ";AccountKey=d3Jvbmcta2V5;TableEndpoint=" +
                           credentials.accountUrl;
    const std::string table = testing_support::uniqueTableName("words");
    createTable(table);
    CommandResult refused =
        aztable("backup-table --table " + table + " --out " + shellQuote(temp.file("b")) + " --connection-string " +
                shellQuote(wrongKey));
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find("refused the account key"), std::string::npos) << refused.output;

    for (const char* since : {"1796000000000", "2999-01-01T00:00:00Z", "yesterday"}) {
        CommandResult wrong =
            aztable("backup-table --table " + table + " --out " + shellQuote(temp.file("b")) + " --since " + since + fromFile);
        EXPECT_NE(wrong.status, 0) << since << ": " << wrong.output;
        EXPECT_FALSE(testing_support::pathExists(temp.file("b"))) << since;
    }
    CommandResult iso = aztable("backup-table --table " + table + " --out " + shellQuote(temp.file("b")) +
                                " --since 2020-01-01T00:00:00Z" + fromFile);
    EXPECT_EQ(iso.status, 0) << iso.output;
    EXPECT_NE(iso.output.find("next incremental backup: --since "), std::string::npos) << iso.output;
}
