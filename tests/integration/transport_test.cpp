// The transport against the emulator, through the real libcurl client: raw requests built by
// CAzureTableStorageInfo, sent by AzureTableRequestService under the client's reply handling.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>

#include "platform/http/CAzureTableStorageInfo.h"
#include "platform/http/CurlHttpClient.h"
#include "platform/http/UrlEncoding.h"
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

// A string member of `object`, or "".
std::string member(const rapidjson::Value& object, const char* name) {
    return object.IsObject() && object.HasMember(name) && object[name].IsString() ? object[name].GetString() : "";
}

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

// A refused key is not retried: each call fails after one request, in words, without the key.
TEST_F(TransportTest, WrongKeyFailsClearlyAfterOneRequest) {
    Counting counting;
    testing_support::FakeSleeperScope sleeper;
    AzureTableCredentials wrong = credentials;
    wrong.accessKey = "d3Jvbmcta2V5LXdyb25nLWtleQ==";
    AzureTableStorage account(wrong, environment);
    auto outcome = account.describeTable("anything");
    EXPECT_EQ(outcome.errorKind, Failed);
    EXPECT_NE(outcome.errorMessage.find("AuthorizationFailure"), std::string::npos) << outcome.errorMessage;
    EXPECT_EQ(outcome.errorMessage.find(wrong.accessKey), std::string::npos);
    EXPECT_EQ(counting.exchanges.load(), 1);

    std::vector<std::string> tables;
    std::string error;
    EXPECT_FALSE(account.queryTables(tables, &error));
    EXPECT_NE(error.find("HTTP 403"), std::string::npos) << error;
    EXPECT_EQ(counting.exchanges.load(), 2);
    EXPECT_TRUE(sleeper->sleeps().empty());
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

TEST_F(TransportTest, KeysNeedingEncodingAndContinuationTokensWithPlusSlashAndEquals) {
    RawAccount account(environment, credentials);
    std::string table = testing_support::uniqueTableName("keys");
    ASSERT_EQ(account.createTable("{\"TableName\":\"" + table + "\"}").errorKind, 0);

    // Key pairs whose continuation tokens (the emulator sends the keys in base64) hold '/', '='
    // and '+'; keys with a space, quotes and a non-ASCII letter, which the client puts in the
    // path of an insert-or-replace (the line's first member is the tag it strips).
    std::vector<std::pair<std::string, std::string>> keys = {
        {"a b", "r1"}, {"a\xc2\xbf", "r1"}, {"q'uote", "r'1"}, {"~~~", "r2"}, {"~~~", "~~~"}};
    for (const auto& key : keys) {
        const std::string line =
            "{\"odata.etag\":\"x\",\"PartitionKey\":\"" + key.first + "\",\"RowKey\":\"" + key.second + "\"}";
        ASSERT_EQ(account.insertOrReplaceEntity(table, line), Success) << line;
    }

    // Page one entity at a time, following the continuation members folded into the body.
    std::vector<std::pair<std::string, std::string>> seen;
    std::string tokens, nextPartition, nextRow;
    for (int page = 0; page < 20; ++page) {
        AzureTableRequest query = account.baseRequest("");
        query.path = table + "()";
        if (!nextPartition.empty()) query.path += "?NextPartitionKey=" + platform::http::percentEncode(nextPartition);
        if (!nextRow.empty()) query.path += "&NextRowKey=" + platform::http::percentEncode(nextRow);
        query.query = "$top=1";
        AzureTableResponse reply = account.send(query);
        ASSERT_EQ(reply.status, 200) << reply.body;
        rapidjson::Document document;
        document.Parse(reply.body.c_str());
        for (const auto& entity : document["value"].GetArray())
            seen.emplace_back(member(entity, "PartitionKey"), member(entity, "RowKey"));
        nextPartition = member(document, "x-ms-continuation-NextPartitionKey");
        nextRow = member(document, "x-ms-continuation-NextRowKey");
        tokens += nextPartition + nextRow;
        if (nextPartition.empty() && nextRow.empty()) break;
    }
    EXPECT_EQ(seen, keys);
    for (char c : {'+', '/', '='}) EXPECT_NE(tokens.find(c), std::string::npos) << c << " in " << tokens;
    EXPECT_EQ(account.deleteTable(table).errorKind, 0);
}
