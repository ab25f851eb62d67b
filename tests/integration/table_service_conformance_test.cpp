// The same Table service cases against the in-memory fake the unit tests use and against the
// emulator, so the fake cannot drift from the real thing unnoticed.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cctype>
#include <map>
#include <memory>
#include <sstream>

#include "table_service/AzureTableStorage.h"
#include "tests/support/Emulator.h"
#include "tests/support/FakeSleeper.h"
#include "tests/support/FakeTableService.h"
#include "tests/support/MemoryEnvironment.h"

namespace {

using testing_support::entityToWrite;
enum class Backend { Fake, Emulator };

class TableServiceConformance : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::Fake) {
            transport = std::make_unique<testing_support::FakeTransportScope>();
            fake = std::make_unique<testing_support::FakeTableService>(**transport);
            fake->setPageSize(1000);  // the service's page size
            credentials = testing_support::testCredentials();
        } else {
            std::string connection;
            ASSERT_NO_FATAL_FAILURE(testing_support::emulatorAccount(connection, credentials));
        }
        client = std::make_unique<AzureTableStorage>(credentials, env);
    }
    // Every entity of the table page by page, as a backup reads it; counts the pages.
    std::vector<std::string> readAll(const std::string& table, int& pages) {
        testing_support::MemoryEnvironment scan;
        auto output = scan.createOutput(table, true);
        AzureTableContinuationToken token;
        pages = 0;
        do {
            EXPECT_EQ(client->queryEntities(table, token, output.get(), token, 0, 0), 0);
        } while (!toRestartString(token).empty() && ++pages < 100);
        ++pages;
        EXPECT_EQ(scan.output(table).restarts.back(), "");
        std::vector<std::string> lines;
        std::istringstream data(scan.output(table).data());
        for (std::string line; std::getline(data, line);) lines.push_back(line);
        return lines;
    }

    testing_support::FakeSleeperScope sleeper;  // before the transport: waits never sleep
    std::unique_ptr<testing_support::FakeTransportScope> transport;
    std::unique_ptr<testing_support::FakeTableService> fake;
    testing_support::MemoryEnvironment env{"conformance"};
    AzureTableCredentials credentials;
    std::unique_ptr<AzureTableStorage> client;
};

}  // namespace

TEST_P(TableServiceConformance, TablesAreDescribedCreatedAndDeletedWithTheServicesAnswers) {
    const std::string name = testing_support::uniqueTableName("Life");
    EXPECT_EQ(client->describeTable(name).errorKind, ResourceNotFound);
    EXPECT_EQ(client->deleteTable(name).errorKind, ResourceNotFound);
    EXPECT_FALSE(client->isTableEmpty(name));
    AzureTableContinuationToken token;
    auto output = env.createOutput(name, true);
    EXPECT_EQ(client->queryEntities(name, token, output.get(), token, 0, 0), Failed);  // TableNotFound

    auto created = client->createTable("{\"TableName\":\"" + name + "\"}");
    ASSERT_EQ(created.errorKind, 0) << created.errorMessage;
    EXPECT_EQ(created.result->tableName, name);
    EXPECT_TRUE(client->waitForActiveTable(name, 120000));
    auto again = client->createTable("{\"TableName\":\"" + name + "\"}");
    EXPECT_EQ(again.errorKind, Failed);
    EXPECT_NE(again.errorMessage.find("TableAlreadyExists"), std::string::npos) << again.errorMessage;
    EXPECT_TRUE(client->isTableEmpty(name));

    // Names match without regard to case; the service answers with the name as created.
    std::string lower = name;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto described = client->describeTable(lower);
    ASSERT_EQ(described.errorKind, 0) << described.errorMessage;
    EXPECT_EQ(described.result->tableName, name);

    auto deleted = client->deleteTable(lower);
    ASSERT_EQ(deleted.errorKind, 0) << deleted.errorMessage;
    EXPECT_TRUE(client->waitForDeletedTable(name, 120000));
    EXPECT_EQ(client->describeTable(name).errorKind, ResourceNotFound);
    EXPECT_TRUE(sleeper->sleeps().empty());
}

// Batches of awkward keys and typed numbers are confirmed operation by operation, and the scan
// reads every entity back across a continuation, with its types and the service's own members.
TEST_P(TableServiceConformance, BatchWritesAreReadBackAcrossPagesValueByValue) {
    const std::string table = testing_support::uniqueTableName("pages");
    ASSERT_EQ(client->createTable("{\"TableName\":\"" + table + "\"}").errorKind, 0);
    const std::vector<std::string> partitions{"it's", "50% off +&=", "caf\xC3\xA9 ''"};
    std::vector<std::string> lines;
    for (const auto& partition : partitions)
        for (int i = 0; i < 500; ++i)
            lines.push_back(entityToWrite(partition, "r " + std::to_string(1000 + i) + "'",
                                   "\"d\":2.0,\"e\":1e+300,\"i\":7,\"s\":\"x\",\"big\":\"9007199254740993\","
                                   "\"big@odata.type\":\"Edm.Int64\""));
    auto outcome = client->batchInsert(table, lines);
    EXPECT_EQ(outcome.errorKind, 0);
    ASSERT_FALSE(outcome.result) << outcome.result->size() << " lines left";

    int pages = 0;
    auto read = readAll(table, pages);
    EXPECT_EQ(pages, 2);  // the service's pages hold 1000 entities
    ASSERT_EQ(read.size(), lines.size());
    std::map<std::string, int> perPartition;
    std::string previous;
    for (const auto& text : read) {
        rapidjson::Document entity;
        ASSERT_FALSE(entity.Parse<rapidjson::kParseFullPrecisionFlag>(text.c_str()).HasParseError()) << text;
        EXPECT_EQ(text.rfind("{\"odata.etag\":", 0), 0u) << text;  // what a restore strips
        EXPECT_TRUE(entity.HasMember("Timestamp")) << text;
        const std::string key = std::string(entity["PartitionKey"].GetString()) + '\0' + entity["RowKey"].GetString();
        EXPECT_LT(previous, key) << "key order";
        previous = key;
        ++perPartition[entity["PartitionKey"].GetString()];
        EXPECT_TRUE(entity["d"].IsDouble() && entity["e"].IsDouble() && entity["i"].IsInt()) << text;
        for (const char* member : {"\"d\":2.0", "\"s\":\"x\"", "\"big\":\"9007199254740993\"", "\"big@odata.type\":\"Edm.Int64\""})
            EXPECT_NE(text.find(member), std::string::npos) << member << " in " << text;
    }
    for (const auto& partition : partitions) EXPECT_EQ(perPartition[partition], 500) << partition;

    // What was read back is what a restore replays: it writes again as it is.
    EXPECT_FALSE(client->batchInsert(table, read).result);
    EXPECT_EQ(readAll(table, pages).size(), lines.size());
    EXPECT_EQ(client->deleteTable(table).errorKind, 0);
}

TEST_P(TableServiceConformance, ARefusedBatchComesBackPendingAndWritesNothing) {
    const std::string missing = testing_support::uniqueTableName("absent");
    std::vector<std::string> lines{entityToWrite("p", "1"), entityToWrite("p", "2"), entityToWrite("q", "1")};
    auto outcome = client->batchInsert(missing, lines);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, lines);
    EXPECT_EQ(client->describeTable(missing).errorKind, ResourceNotFound);  // nothing was created
}

INSTANTIATE_TEST_SUITE_P(Backends, TableServiceConformance, ::testing::Values(Backend::Fake, Backend::Emulator),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return info.param == Backend::Fake ? "Fake" : "Emulator";
                         });
