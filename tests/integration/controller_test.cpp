// The controller against the emulator: the command line every command shares ("--x v" and
// "--x=v", help and version, unknown options, bad names and keys refused in words before
// anything is sent) and a table run through its life, backup failures said in words, and --json
// output that parses and carries the result of a backup and a restore.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/Emulator.h"
#include "tests/support/TempFolder.h"

namespace {

using testing_support::entityToWrite;
using testing_support::shellQuote;
using ControllerTest = testing_support::EmulatorTest;

struct Case {
    std::string arguments;
    int status;
    std::string says;
    std::string hides = "";        // a secret the output must not show
    std::string environment = "";  // assignments before the command
};

}  // namespace

TEST_F(ControllerTest, EveryCommandParsesAndRefusesTheSameWay) {
    testing_support::TempFolder temp;
    const std::string out = shellQuote(temp.file("x"));
    const std::string name = testing_support::uniqueTableName("cli");
    const std::string wrongKey = shellQuote("AccountName=" + credentials.accountName +
                                            ";AccountKey=d3Jvbmcta2V5;TableEndpoint=" + credentials.accountUrl);
    // The account can come from a file, so the key never has to be on a command line; the
    // environment's account is then a wrong one, so only the file's can work.
    temp.write("conn", connection + "\n");
    ::chmod(temp.file("conn").c_str(), 0600);
    const std::string words = testing_support::uniqueTableName("words");
    createTable(words);
    const std::string fromFile = "backup-table --connection-string-file " + shellQuote(temp.file("conn")) + " --table ";
    const std::string wrongEnv = "AZURE_STORAGE_CONNECTION_STRING=" + shellQuote("AccountName=x;AccountKey=d3Jvbmcta2V5");
    const std::vector<Case> cases = {
        {"--version", 0, "aztable "},
        {"help backup-table", 0, "--chunk-size"},
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"backup-table --table abc --out /nonexistent/x --bogus 1", 2, "unknown option '--bogus'"},
        {"restore-table --from /nonexistent/x --table abc --bogus=1", 2, "unknown option '--bogus'"},
        {"table list --bogus", 2, "unknown option '--bogus'"},
        {"table describe --json", 2, "describe takes exactly one table name"},
        {"sample-data --table=abc --count=x", 2, "--count"},
        {"backup-table --table abc", 2, "--out"},
        {"backup-table --table abc --out " + out + " --since 200 --until 100", 2, "--since must be earlier than --until"},
        {"backup-table --table abc --out " + out + " --chunk-size -5", 2, "--chunk-size"},
        // Every command checks a table name before it sends anything.
        {"table create 'no good'", 2, "not a table name"},
        {"backup-table --table=a-b --out=" + out, 2, "not a table name"},
        {"restore-table --from /nonexistent/x --table 'no good'", 2, "not a table name"},
        {"compare-tables --table=abc --other=a", 2, "not a table name"},
        {"sample-data --table 1abc --count 1", 2, "not a table name"},
        // The account: missing, malformed, or refused by the service; the key is never shown.
        {"table list", 2, "AZURE_STORAGE_CONNECTION_STRING", "", "AZURE_STORAGE_CONNECTION_STRING="},
        {"table list --connection-string 'AccountName=a1;AccountKey=s3cr3t!'", 2, "not valid base64", "s3cr3t"},
        {"table describe abc --connection-string " + wrongKey, 1,
         "refused the account key of " + credentials.accountName, "d3Jvbmcta2V5"},
        {"backup-table --table abc --out " + out + " --connection-string " + wrongKey, 1, "refused the account key"},
        // "--x=v" reaches the command as "--x v" does: a missing table is reported by the service.
        {"table describe abcmissing --connection-string=" + shellQuote(connection), 1, "table abcmissing does not exist"},
        // The backup command puts the service's refusals into words and leaves nothing behind.
        {fromFile + "nosuchtable --out " + out, 1, "table nosuchtable does not exist in account " + credentials.accountName,
         "run the same command again", wrongEnv},
        {fromFile + words + " --since 1796000000000 --out " + out, 2, "too large for seconds", "", wrongEnv},
        {fromFile + words + " --since 2999-01-01T00:00:00Z --out " + out, 1, "is not in the past of the service's clock",
         "", wrongEnv},
        {fromFile + words + " --since yesterday --out " + out, 2, "--since", "", wrongEnv},
        {fromFile + words + " --since 2020-01-01T00:00:00Z --out " + shellQuote(temp.file("b")), 0,
         "next incremental backup: --since ", "", wrongEnv},
        // A table through its life.
        {"table create " + name + " --wait", 0, "created table " + name},
        {"table describe " + name, 0, "\"TableName\":\"" + name + "\""},
        {"table list", 0, name + "\n"},
        {"table delete " + name + " --wait", 0, "table " + name + " is gone"},
    };
    for (const auto& c : cases) {
        auto run = aztable(c.arguments, c.environment);
        EXPECT_EQ(run.status, c.status) << c.arguments << ": " << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.arguments << ": " << run.output;
        EXPECT_TRUE(c.hides.empty() || run.output.find(c.hides) == std::string::npos) << c.arguments;
    }
    EXPECT_FALSE(testing_support::pathExists(temp.file("x")));
}

TEST_F(ControllerTest, JsonOutputOfABackupAndARestore) {
    const std::string source = testing_support::uniqueTableName("json");
    createTable(source);
    writeEntities(source, {entityToWrite("p", "1", "\"v\":1"), entityToWrite("p", "2", "\"v\":2")});
    testing_support::TempFolder temp;
    const std::string folder = temp.path() + "/full";
    // stdout holds the object alone; stderr lines (the destination, the summary) are mixed in.
    auto run = [this](const std::string& arguments, int status, rapidjson::Document& d) {
        auto result = aztable(arguments);
        ASSERT_EQ(result.status, status) << result.output;
        const size_t start = result.output.find("{\"command\"");
        ASSERT_NE(start, std::string::npos) << result.output;
        d.Parse(result.output.substr(start, result.output.find('\n', start) - start).c_str());
        ASSERT_TRUE(!d.HasParseError() && d.IsObject()) << result.output;
    };

    rapidjson::Document b;
    ASSERT_NO_FATAL_FAILURE(run("backup-table --json --table " + source + " --out=" + shellQuote(folder), 0, b));
    EXPECT_TRUE(b["ok"].GetBool());
    for (const auto& member : std::vector<std::pair<const char*, std::string>>{
             {"command", "backup-table"}, {"table", source}, {"folder", folder}, {"kind", "full"}})
        EXPECT_EQ(b[member.first].GetString(), member.second) << member.first;
    EXPECT_TRUE(b["entities"].GetUint64() == 2u && b["bytes"].GetUint64() > 0u && b["seconds"].IsNumber());
    EXPECT_TRUE(b["nextSince"].GetInt64() == b["toTime"].GetInt64() && b["toTime"].GetInt64() > 0);

    rapidjson::Document r;
    const std::string destination = testing_support::uniqueTableName("jsonr");
    ASSERT_NO_FATAL_FAILURE(run("restore-table --json --from " + shellQuote(folder) + " --table=" + destination, 0, r));
    EXPECT_TRUE(r["ok"].GetBool());
    EXPECT_EQ(r["destination"].GetString() + std::string(":") + r["sourceTable"].GetString(), "created:" + source);
    EXPECT_TRUE(r["entities"].GetUint64() == 2u && r["entitiesWritten"].GetUint64() == 2u);
    ASSERT_EQ(r["backups"].Size(), 1u);
    EXPECT_STREQ(r["backups"][0]["kind"].GetString(), "full");
    EXPECT_TRUE(r["backups"][0]["checksums"].GetBool());

    // A failure keeps its exit status and says its code and message.
    rapidjson::Document f;
    ASSERT_NO_FATAL_FAILURE(run("restore-table --json --use-existing --from " + shellQuote(folder) + " --table " +
                                    testing_support::uniqueTableName("none"), 1, f));
    EXPECT_FALSE(f["ok"].GetBool());
    EXPECT_STREQ(f["error"]["code"].GetString(), "not-found");
    EXPECT_NE(std::string(f["error"]["message"].GetString()).find("never creates it"), std::string::npos);
}
