// The controller's command line, shared by every command: "--x v" and "--x=v", an unknown option
// refused by name (exit 2) before anything is sent, help and version, and --json output that
// parses and carries the result of a backup and a restore.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "tests/support/Emulator.h"
#include "tests/support/TempFolder.h"

namespace {

using testing_support::shellQuote;

struct Outcome {
    int status;
    std::string output;
};

Outcome aztable(const std::string& arguments) {
    Outcome run;
    run.status = testing_support::runShell(testing_support::aztableCommand() + " " + arguments, run.output);
    return run;
}

class ControllerTest : public testing_support::EmulatorTest {};

}  // namespace

TEST_F(ControllerTest, EveryCommandParsesTheSameWay) {
    struct Case {
        std::string arguments;
        int status;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"--version", 0, "aztable "},
        {"help backup-table", 0, "--chunk-size"},
        {"restore-table --help", 0, "--use-existing"},
        {"help", 0, "compare-tables"},
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"backup-table --table abc --out /nonexistent/x --bogus 1", 2, "unknown option '--bogus'"},
        {"restore-table --from /nonexistent/x --table abc --bogus=1", 2, "unknown option '--bogus'"},
        {"compare-tables --table abc --other abd --bogus", 2, "unknown option '--bogus'"},
        {"sample-data --table abc --count 1 --bogus", 2, "unknown option '--bogus'"},
        {"table list --bogus", 2, "unknown option '--bogus'"},
        {"backup-table --table=a-b --out=/nonexistent/x", 2, "not a table name"},
        {"compare-tables --table=abc --other=a", 2, "not a table name"},
        {"sample-data --table=abc --count=x", 2, "--count"},
        {"backup-table --table abc", 2, "--out"},
        {"table describe --json", 2, "describe takes exactly one table name"},
    };
    for (const auto& c : cases) {
        Outcome run = aztable(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << ": " << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.arguments << ": " << run.output;
    }
    // "--x=v" reaches the command as "--x v" does: a missing table is reported by the service.
    Outcome equals = aztable("table describe abcmissing --connection-string=" + shellQuote(connection));
    EXPECT_EQ(equals.status, 1) << equals.output;
    EXPECT_NE(equals.output.find("table abcmissing does not exist"), std::string::npos) << equals.output;
}

TEST_F(ControllerTest, JsonOutputOfABackupAndARestore) {
    const std::string source = testing_support::uniqueTableName("json");
    createTable(source);
    writeEntities(source, {"{\"odata.etag\":\"x\",\"PartitionKey\":\"p\",\"RowKey\":\"1\",\"v\":1}",
                           "{\"odata.etag\":\"x\",\"PartitionKey\":\"p\",\"RowKey\":\"2\",\"v\":2}"});
    testing_support::TempFolder temp;
    const std::string folder = temp.path() + "/full";
    const std::string account = " --connection-string=" + shellQuote(connection);
    auto parse = [](const Outcome& run, rapidjson::Document& d) {
        // stdout holds the object alone; stderr lines (the destination, the summary) are mixed in.
        const size_t start = run.output.find("{\"command\"");
        ASSERT_NE(start, std::string::npos) << run.output;
        d.Parse(run.output.substr(start, run.output.find('\n', start) - start).c_str());
        ASSERT_FALSE(d.HasParseError()) << run.output;
        ASSERT_TRUE(d.IsObject()) << run.output;
    };

    Outcome backup = aztable("backup-table --json --table " + source + " --out=" + shellQuote(folder) + account);
    ASSERT_EQ(backup.status, 0) << backup.output;
    rapidjson::Document b;
    ASSERT_NO_FATAL_FAILURE(parse(backup, b));
    EXPECT_TRUE(b["ok"].GetBool());
    EXPECT_STREQ(b["command"].GetString(), "backup-table");
    EXPECT_STREQ(b["table"].GetString(), source.c_str());
    EXPECT_STREQ(b["folder"].GetString(), folder.c_str());
    EXPECT_STREQ(b["kind"].GetString(), "full");
    EXPECT_EQ(b["entities"].GetUint64(), 2u);
    EXPECT_GT(b["bytes"].GetUint64(), 0u);
    EXPECT_TRUE(b["seconds"].IsNumber());
    EXPECT_EQ(b["nextSince"].GetInt64(), b["toTime"].GetInt64());
    EXPECT_GT(b["nextSince"].GetInt64(), 0);

    const std::string destination = testing_support::uniqueTableName("jsonr");
    Outcome restore = aztable("restore-table --json --from " + shellQuote(folder) + " --table=" + destination + account);
    ASSERT_EQ(restore.status, 0) << restore.output;
    rapidjson::Document r;
    ASSERT_NO_FATAL_FAILURE(parse(restore, r));
    EXPECT_TRUE(r["ok"].GetBool());
    EXPECT_STREQ(r["destination"].GetString(), "created");
    EXPECT_STREQ(r["sourceTable"].GetString(), source.c_str());
    EXPECT_EQ(r["entities"].GetUint64(), 2u);
    EXPECT_EQ(r["entitiesWritten"].GetUint64(), 2u);
    ASSERT_EQ(r["backups"].Size(), 1u);
    EXPECT_STREQ(r["backups"][0]["kind"].GetString(), "full");
    EXPECT_TRUE(r["backups"][0]["checksums"].GetBool());

    // A failure keeps its exit status and says its code and message.
    Outcome refused = aztable("restore-table --json --use-existing --from " + shellQuote(folder) + " --table " +
                          testing_support::uniqueTableName("none") + account);
    EXPECT_EQ(refused.status, 1) << refused.output;
    rapidjson::Document f;
    ASSERT_NO_FATAL_FAILURE(parse(refused, f));
    EXPECT_FALSE(f["ok"].GetBool());
    EXPECT_STREQ(f["error"]["code"].GetString(), "not-found");
    EXPECT_NE(std::string(f["error"]["message"].GetString()).find("never creates it"), std::string::npos);
}
