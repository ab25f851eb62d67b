// The transport against the emulator, through the real libcurl client: raw requests built by
// CAzureTableStorageInfo, sent by AzureTableRequestService under the client's reply handling.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <sstream>

#include "platform/http/CAzureTableStorageInfo.h"
#include "platform/http/CurlHttpClient.h"
#include "table_service/AzureTableStorage.h"
#include "tests/support/Emulator.h"
#include "tests/support/FakeSleeper.h"
#include "tests/support/MemoryEnvironment.h"

namespace {

// The client's request path opened up for the tests: raw requests from the request builder,
// sent the way every client operation sends them.
class RawAccount : public AzureTableStorage {
public:
    RawAccount(IdaEnvironment& environment, AzureTableCredentials credentials)
        : AzureTableStorage(credentials, environment) {}
    AzureTableResponse send(AzureTableRequest request, unsigned int attempts = 50) { return execute(request, attempts); }
};

// While installed, counts the exchanges that reach the real client and the connections it opened.
struct Counting {
    struct Client : platform::http::HttpClient {
        explicit Client(Counting* c) : counts(c) {}
        ~Client() override { counts->connections += real.connectionsOpened(); }
        platform::http::HttpReply send(const platform::http::HttpExchange& exchange) override {
            ++counts->exchanges;
            return real.send(exchange);
        }
        Counting* counts;
        platform::http::CurlHttpClient real;
    };
    Counting() { platform::http::setHttpClientFactory([this] { return std::make_unique<Client>(this); }); }
    ~Counting() { platform::http::setHttpClientFactory(nullptr); }
    std::atomic<int> exchanges{0};
    std::atomic<long> connections{0};
};

class TransportTest : public testing_support::EmulatorTest {
protected:
    testing_support::MemoryEnvironment environment;
};

}  // namespace

TEST_F(TransportTest, ConnectionIsKeptAliveBetweenRequests) {
    Counting counting;
    {
        RawAccount account(environment, credentials);
        std::vector<std::string> tables;
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(account.queryTables(tables));
    }
    EXPECT_EQ(counting.exchanges.load(), 5);
    EXPECT_EQ(counting.connections.load(), 1);
}

TEST_F(TransportTest, UnreachableServiceIsATransportErrorAfterEveryAttempt) {
    testing_support::FakeSleeperScope sleeper;
    AzureTableCredentials nowhere = credentials;
    nowhere.accountUrl = "http://127.0.0.1:1/" + credentials.accountName;  // nothing listens on port 1
    RawAccount account(environment, nowhere);
    AzureTableRequest request = account.baseRequest("");
    request.path = "Tables";
    AzureTableResponse response = account.send(request, 3);
    EXPECT_EQ(response.status, 0);
    EXPECT_NE(response.body.find("TransportError"), std::string::npos) << response.body;
    EXPECT_NE(response.body.find("after 3 attempts"), std::string::npos) << response.body;
    EXPECT_EQ(sleeper->sleeps().size(), 2u);
}

// Keys with a space, quotes and a non-ASCII letter, which the client puts in the path of an
// insert-or-replace (the line's first member is the tag it strips), read back as written.
TEST_F(TransportTest, InsertOrReplaceEncodesKeysInThePath) {
    RawAccount account(environment, credentials);
    std::string table = testing_support::uniqueTableName("keys");
    ASSERT_EQ(account.createTable("{\"TableName\":\"" + table + "\"}").errorKind, 0);
    std::vector<std::pair<std::string, std::string>> keys = {
        {"a b", "r1"}, {"a\xc2\xbf", "r1"}, {"q'uote", "r'1"}, {"~~~", "r2"}, {"~~~", "~~~"}};
    for (const auto& key : keys) {
        const std::string line = testing_support::entityToWrite(key.first, key.second);
        ASSERT_EQ(account.insertOrReplaceEntity(table, line), Success) << line;
    }
    AzureTableContinuationToken token;
    auto output = environment.createOutput(table, true);
    ASSERT_EQ(account.queryEntities(table, token, output.get(), token, 0, 0), 0);
    std::vector<std::pair<std::string, std::string>> seen;
    std::istringstream lines(environment.output(table).data());
    for (std::string line; std::getline(lines, line);) {
        rapidjson::Document entity;
        entity.Parse(line.c_str());
        seen.emplace_back(entity["PartitionKey"].GetString(), entity["RowKey"].GetString());
    }
    EXPECT_EQ(seen, keys);
    EXPECT_EQ(account.deleteTable(table).errorKind, 0);
}
