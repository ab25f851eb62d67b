// The Table service client against the emulator: batch writes with awkward
// keys and numbers, and reading everything back page by page.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <map>

#include "table_service/AzureTableStorage.h"
#include "tests/support/Emulator.h"
#include "tests/support/FakeSleeper.h"
#include "tests/support/MemoryEnvironment.h"

namespace {

class TableClientTest : public testing_support::EmulatorTest {
protected:
    testing_support::FakeSleeperScope sleeper;
    testing_support::MemoryEnvironment env{"integration"};

    // Creates a fresh table and returns its name.
    std::string freshTable(AzureTableStorage& client, const std::string& prefix) {
        std::string name = testing_support::uniqueTableName(prefix);
        rapidjson::Document none;
        auto created = client.createTable(AzureTableDescription(none).createTableRequest(name));
        EXPECT_EQ(created.errorKind, 0) << created.errorMessage;
        return name;
    }

    // Every entity of the table, read page by page the way a backup does.
    std::vector<std::string> readAll(AzureTableStorage& client, const std::string& table, int* pages = nullptr) {
        auto output = env.createOutput(table, true);
        AzureTableContinuationToken token;
        int count = 0;
        do {
            EXPECT_EQ(client.queryEntities(table, token, output.get(), token, 0, 0), 0);
        } while (!toRestartString(token).empty() && ++count < 100);
        if (pages) *pages = count + 1;
        std::vector<std::string> lines;
        std::string data = env.output(table).data();
        for (size_t start = 0; start < data.size();) {
            size_t end = data.find('\n', start);
            lines.push_back(data.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
};

std::string tagged(const std::string& body) { return "{\"odata.etag\":\"W/\\\"x\\\"\"," + body + "}"; }

}  // namespace

TEST_F(TableClientTest, BatchesWriteAwkwardKeysAndKeepDoubles) {
    AzureTableStorage client(credentials, env);
    std::string name = freshTable(client, "batch");
    const std::vector<std::string> partitions{"it's", "50% off +&=", "caf\xC3\xA9 ''"};
    std::vector<std::string> lines;
    for (const auto& partition : partitions) {
        for (int i = 0; i < 120; ++i) {
            lines.push_back(tagged("\"PartitionKey\":\"" + partition + "\",\"RowKey\":\"r " + std::to_string(i) +
                                   "'\",\"d\":2.0,\"e\":1e+300,\"i\":7,"
                                   "\"big\":\"9007199254740993\",\"big@odata.type\":\"Edm.Int64\""));
        }
    }
    auto outcome = client.batchInsert(name, lines);
    EXPECT_EQ(outcome.errorKind, 0);
    EXPECT_FALSE(outcome.result) << outcome.result->size() << " lines left";

    auto read = readAll(client, name);
    ASSERT_EQ(read.size(), lines.size());
    std::map<std::string, int> perPartition;
    for (const auto& text : read) {
        rapidjson::Document entity;
        ASSERT_FALSE(entity.Parse<rapidjson::kParseFullPrecisionFlag>(text.c_str()).HasParseError()) << text;
        ++perPartition[entity["PartitionKey"].GetString()];
        EXPECT_NE(text.find("\"d\":2.0"), std::string::npos) << text;
        EXPECT_TRUE(entity["e"].IsDouble());
        EXPECT_TRUE(entity["i"].IsInt());
        EXPECT_STREQ(entity["big"].GetString(), "9007199254740993");
        EXPECT_EQ(std::string(entity["RowKey"].GetString()).back(), '\'');
    }
    for (const auto& partition : partitions) EXPECT_EQ(perPartition[partition], 120) << partition;

    // What was read back is what a restore replays: it writes again as it is.
    auto again = client.batchInsert(name, read);
    EXPECT_FALSE(again.result);
    EXPECT_EQ(readAll(client, name).size(), lines.size());
}

TEST_F(TableClientTest, ARefusedChangesetComesBackPending) {
    AzureTableStorage client(credentials, env);
    std::string missing = testing_support::uniqueTableName("absent");
    std::vector<std::string> lines{tagged("\"PartitionKey\":\"p\",\"RowKey\":\"1\""),
                                   tagged("\"PartitionKey\":\"p\",\"RowKey\":\"2\"")};
    auto outcome = client.batchInsert(missing, lines);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, lines);
    EXPECT_TRUE(env.logged("Items insert failed"));
}

TEST_F(TableClientTest, ContinuationCarriesTheScanAcrossPages) {
    AzureTableStorage client(credentials, env);
    std::string name = freshTable(client, "pages");
    std::vector<std::string> lines;
    for (int i = 0; i < 1500; ++i) {
        lines.push_back(tagged("\"PartitionKey\":\"p+=" + std::to_string(i / 500) + "\",\"RowKey\":\"" +
                               std::to_string(100000 + i) + "\""));
    }
    ASSERT_FALSE(client.batchInsert(name, lines).result);
    int pages = 0;
    EXPECT_EQ(readAll(client, name, &pages).size(), 1500u);
    EXPECT_GE(pages, 2);
    EXPECT_EQ(env.output(name).restarts.back(), "");
}
