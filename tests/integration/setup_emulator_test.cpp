// Setting the agent up against the emulator's two accounts: init, account add/list/remove,
// tables and events, with every key kept out of the output and the log.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/Emulator.h"
#include "tests/support/TempFolder.h"

namespace {

using testing_support::shellQuote;
using SetupTest = testing_support::EmulatorTest;

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
