// The account's table listing and the emulator's describe adapter built on it.
#include <gtest/gtest.h>

#include "table_service/AzureTableListing.h"
#include "table_service/AzureTableStorage.h"
#include "tests/support/FakeSleeper.h"
#include "tests/support/FakeTransport.h"
#include "tests/support/MemoryEnvironment.h"

using namespace table_service;
using platform::http::HttpExchange;
using platform::http::HttpReply;

namespace {

// An account on the service (host-style) or on the emulator (path-style).
struct Account {
    testing_support::FakeTransportScope transport;
    testing_support::FakeSleeperScope sleeper;
    testing_support::MemoryEnvironment environment;
    AzureTableCredentials credentials;
    std::unique_ptr<AzureTableStorage> client;
    explicit Account(bool emulator = false) {
        credentials.accountName = emulator ? "devstoreaccount1" : "acct";
        credentials.accountUrl =
            emulator ? "http://127.0.0.1:10002/devstoreaccount1" : "https://acct.table.core.windows.net";
        credentials.accessKey = "a2V5";
        client = std::make_unique<AzureTableStorage>(credentials, environment);
    }
};

void answerAlways(testing_support::FakeTransport& transport, int status, const std::string& body,
                  std::map<std::string, std::string> headers = {}) {
    transport.setResponder([=](const HttpExchange&) {
        HttpReply r;
        r.status = status;
        r.body = body;
        r.headers = headers;
        return r;
    });
}

AzureTableRequest describeRequest(const std::string& path) {
    AzureTableRequest r;
    r.method = "GET";
    r.baseUrl = "https://acct.table.core.windows.net/";
    r.path = path;
    return r;
}

}  // namespace

TEST(TableListing, FollowsTheNextTableNameUntilTheLastPage) {
    Account a;
    a.transport->reply(200, "{\"value\":[{\"TableName\":\"a\"},{\"TableName\":\"b\"}]}",
                       {{"x-ms-continuation-NextTableName", "1!8!Yw-- +/="}});
    a.transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[{\"TableName\":\"c\"}]}");
    std::vector<std::string> tables{"stale"};
    std::string error;
    ASSERT_TRUE(a.client->queryTables(tables, &error)) << error;
    EXPECT_EQ(tables, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(a.transport->requestCount(), 2u);
    EXPECT_EQ(a.transport->request(0).url, "https://acct.table.core.windows.net/Tables");
    EXPECT_EQ(a.transport->request(1).url,
              "https://acct.table.core.windows.net/Tables?NextTableName=1%218%21Yw--%20%2B%2F%3D");
    EXPECT_EQ(a.transport->request(1).headers.at("Accept"), "application/json;odata=minimalmetadata");
}

TEST(TableListing, FailuresAreReportedAndNeverLoop) {
    struct Case {
        int status;
        const char* body;
        std::map<std::string, std::string> headers;
        std::vector<const char*> words;
        size_t requests;
    } cases[] = {
        {403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}", {}, {"HTTP 403", "AuthenticationFailed", "check the account name and key"}, 1},
        {200, "not json", {}, {"InvalidReply", "not valid JSON"}, 0},
        {200, "{\"value\":[{\"TableName\":", {}, {"InvalidReply", "not valid JSON"}, 0},
        {200, "{\"odata.metadata\":\"x\"}", {}, {"unexpected reply"}, 1},
        {200, "{\"value\":[]}", {{"x-ms-continuation-nexttablename", "same"}}, {"repeated"}, 2},
    };
    for (const auto& c : cases) {
        Account a;
        answerAlways(*a.transport, c.status, c.body, c.headers);
        std::vector<std::string> tables;
        std::string error;
        EXPECT_FALSE(a.client->queryTables(tables, &error)) << c.body;
        EXPECT_EQ(error.rfind("listing the tables of account 'acct' failed: ", 0), 0u) << error;
        for (const char* word : c.words) EXPECT_NE(error.find(word), std::string::npos) << error;
        if (c.requests) EXPECT_EQ(a.transport->requestCount(), c.requests) << c.body;
    }
}

TEST(EmulatorAdapter, RecognisesOnlyAPlainDescribe) {
    std::string name;
    EXPECT_TRUE(isDescribeTableRequest(describeRequest("Tables('t1')"), name));
    EXPECT_EQ(name, "t1");
    auto withQuery = describeRequest("Tables('t1')");
    withQuery.query = "$top=1";
    EXPECT_FALSE(isDescribeTableRequest(withQuery, name));
    auto deletion = describeRequest("Tables('t1')");
    deletion.method = "DELETE";
    EXPECT_FALSE(isDescribeTableRequest(deletion, name));
    for (const char* path : {"Tables", "Tables('')", "t1()", "Tables('t1')/x"})
        EXPECT_FALSE(isDescribeTableRequest(describeRequest(path), name)) << path;

    AzureTableRequest query = describeAsTableQuery(describeRequest("Tables('t1')"), "o'k");
    EXPECT_EQ(query.path, "Tables");
    EXPECT_EQ(query.query, "$filter=TableName%20eq%20'o%27%27k'");
}

TEST(EmulatorAdapter, DescribeIsSentAsAFilteredQueryAndAnsweredLikeTheServiceOnlyOnTheEmulator) {
    Account a(true);
    auto& transport = a.transport;
    transport->reply(200,
                     "{\"odata.metadata\":\"http://127.0.0.1:10002/devstoreaccount1/$metadata#Tables\","
                     "\"value\":[{\"TableName\":\"t1\"}]}",
                     {{"x-ms-request-id", "r1"}});
    transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[]}", {{"x-ms-request-id", "r2"}});
    transport->reply(200, "{\"value\":[{\"TableName\":\"other\"}]}", {{"x-ms-request-id", "r3"}});
    transport->reply(403, "<Error>AuthorizationFailure</Error>");

    auto found = a.client->describeTable("t1");
    EXPECT_EQ(transport->request(0).url,
              "http://127.0.0.1:10002/devstoreaccount1/Tables?$filter=TableName%20eq%20't1'");
    EXPECT_EQ(transport->request(0).method, "GET");
    ASSERT_EQ(found.errorKind, Success);
    EXPECT_EQ(found.result->toDescriptionJson(),
              "{\"table\":{\"odata.metadata\":\"http://127.0.0.1:10002/devstoreaccount1/$metadata#Tables/@Element\","
              "\"TableName\":\"t1\"}}");

    auto missing = a.client->describeTable("t1");
    EXPECT_EQ(missing.errorKind, ResourceNotFound);
    EXPECT_EQ(missing.errorMessage.rfind("{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"lang\":\"en-US\","
                                         "\"value\":\"The specified resource does not exist.\\nRequestId:r3\\nTime:",
                                         0),
              0u)
        << missing.errorMessage;

    auto refused = a.client->describeTable("t1");
    EXPECT_EQ(refused.errorKind, Failed);
    EXPECT_EQ(refused.errorMessage, "<Error>AuthorizationFailure</Error>");

    // A service account gets the describe as it was asked.
    Account service;
    service.transport->reply(200, "{\"TableName\":\"t1\"}");
    EXPECT_EQ(service.client->describeTable("t1").errorKind, Success);
    EXPECT_EQ(service.transport->request(0).url, "https://acct.table.core.windows.net/Tables('t1')");
}

TEST(EmulatorAdapter, ReplyWithoutTheTableOrNotJsonIsHandled) {
    AzureTableResponse other;
    other.status = 200;
    other.body = "{\"value\":[{\"TableName\":\"t10\"}]}";
    AzureTableResponse missing = describeReplyFromTableQuery(other, "t1");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.headers["x-ms-error-code"], "ResourceNotFound");
    other.body = "{\"value\":[{\"TableName\":\"t1\",\"odata.editLink\":\"Tables('t1')\"}]}";
    EXPECT_EQ(describeReplyFromTableQuery(other, "t1").body, "{\"TableName\":\"t1\",\"odata.editLink\":\"Tables('t1')\"}");
    other.body = "garbage";
    EXPECT_EQ(describeReplyFromTableQuery(other, "t1").body, "garbage");
}

TEST(EmulatorAdapter, ADescribeTheFilterMissesIsLookedUpInTheListingWithoutRegardToCase) {
    Account a(true);
    auto& transport = a.transport;
    transport->reply(200, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables\",\"value\":[]}");
    transport->reply(200, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables\",\"value\":[{\"TableName\":\"a\"}]}",
                     {{"x-ms-continuation-NextTableName", "b+c"}});
    transport->reply(200, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables\",\"value\":[{\"TableName\":\"CaseTbl\"}]}");
    auto found = a.client->describeTable("casetbl");
    ASSERT_EQ(found.errorKind, Success);
    EXPECT_EQ(found.result->tableName, "CaseTbl");
    ASSERT_EQ(transport->requestCount(), 3u);
    EXPECT_EQ(transport->request(1).url, "http://127.0.0.1:10002/devstoreaccount1/Tables");
    EXPECT_EQ(transport->request(2).url, "http://127.0.0.1:10002/devstoreaccount1/Tables?NextTableName=b%2Bc");

    // A listing that keeps handing back the same token ends as "not found".
    transport->clearRequests();
    transport->reply(200, "{\"value\":[]}");
    answerAlways(*transport, 200, "{\"value\":[]}", {{"x-ms-continuation-nexttablename", "same"}});
    EXPECT_EQ(a.client->describeTable("casetbl").errorKind, ResourceNotFound);
    EXPECT_EQ(transport->requestCount(), 3u);

    // A listing page that fails says nothing about the table: the describe fails with it.
    transport->clearRequests();
    transport->setResponder(nullptr);
    transport->reply(200, "{\"value\":[]}");
    transport->reply(403, "{\"odata.error\":{\"code\":\"AuthorizationFailure\"}}");
    auto unknown = a.client->describeTable("casetbl");
    EXPECT_EQ(unknown.errorKind, Failed);
    EXPECT_NE(unknown.errorMessage.find("AuthorizationFailure"), std::string::npos) << unknown.errorMessage;
}
