// The account's table listing and the emulator's describe adapter built on it.
#include "ClientFixture.h"
#include "table_service/AzureTableListing.h"

using namespace table_service_test;

TEST_F(ClientTest, TableListingFollowsTheNextTableNameUntilTheLastPage) {
    transport->reply(200, "{\"value\":[{\"TableName\":\"a\"},{\"TableName\":\"b\"}]}",
                     {{"x-ms-continuation-NextTableName", "1!8!Yw-- +/="}});
    transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[{\"TableName\":\"c\"}]}");
    std::vector<std::string> tables{"stale"};
    std::string error;
    ASSERT_TRUE(client.queryTables(tables, &error)) << error;
    EXPECT_EQ(tables, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(transport->requestCount(), 2u);
    EXPECT_EQ(transport->request(0).url, kBase + "Tables");
    EXPECT_EQ(transport->request(1).url, kBase + "Tables?NextTableName=1%218%21Yw--%20%2B%2F%3D");
    EXPECT_EQ(transport->request(1).headers.at("Accept"), "application/json;odata=minimalmetadata");
}

TEST_F(ClientTest, TableListingFailuresAreReportedAndNeverLoop) {
    using Headers = std::map<std::string, std::string>;
    const struct { int status; const char* body; Headers headers; std::vector<const char*> words; size_t requests; } cases[] = {
        {403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}", {},
         {"HTTP 403", "AuthenticationFailed", "check the account name and key"}, 1},
        {200, "{\"value\":[{\"TableName\":", {}, {"InvalidReply", "not valid JSON"}, 0},
        {200, "{\"odata.metadata\":\"x\"}", {}, {"unexpected reply"}, 1},
        {200, "{\"value\":[]}", {{"x-ms-continuation-nexttablename", "same"}}, {"repeated"}, 2},
    };
    for (const auto& c : cases) {
        transport->clearRequests();
        answerAlways(c.status, c.body, c.headers);
        std::vector<std::string> tables;
        std::string error;
        EXPECT_FALSE(client.queryTables(tables, &error)) << c.body;
        EXPECT_EQ(error.rfind("listing the tables of account 'devstoreaccount1' failed: ", 0), 0u) << error;
        for (const char* word : c.words) EXPECT_NE(error.find(word), std::string::npos) << error;
        if (c.requests) {
            EXPECT_EQ(transport->requestCount(), c.requests) << c.body;
        }
    }
}

// On the emulator a describe goes out as a filtered table query and its answer is made to look
// like the service's.
TEST_F(ClientTest, EmulatorDescribeIsAFilteredQueryAnsweredLikeTheService) {
    const std::string listing = "http://127.0.0.1:10002/devstoreaccount1/Tables";
    transport->reply(200, "{\"odata.metadata\":\"http://127.0.0.1:10002/devstoreaccount1/$metadata#Tables\","
                          "\"value\":[{\"TableName\":\"t1\"}]}");
    transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[]}");
    transport->reply(200, "{\"value\":[{\"TableName\":\"t10\"}]}", {{"x-ms-request-id", "r3"}});
    transport->reply(403, "<Error>AuthorizationFailure</Error>");
    auto found = emulator.describeTable("t1");
    EXPECT_EQ(transport->request(0).method + " " + transport->request(0).url,
              "GET " + listing + "?$filter=TableName%20eq%20't1'");
    ASSERT_EQ(found.errorKind, Success);
    EXPECT_EQ(found.result->toDescriptionJson(),
              "{\"table\":{\"odata.metadata\":\"http://127.0.0.1:10002/devstoreaccount1/$metadata#Tables/@Element\","
              "\"TableName\":\"t1\"}}");
    // Not in the filtered page nor in the listing (where only "t10" is): not found, as the service says it.
    auto missing = emulator.describeTable("t1");
    EXPECT_EQ(missing.errorKind, ResourceNotFound);
    EXPECT_EQ(missing.errorMessage.rfind("{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"lang\":\"en-US\","
                                         "\"value\":\"The specified resource does not exist.\\nRequestId:r3\\nTime:", 0),
              0u)
        << missing.errorMessage;
    auto refused = emulator.describeTable("t1");
    EXPECT_EQ(refused.errorKind, Failed);
    EXPECT_EQ(refused.errorMessage, "<Error>AuthorizationFailure</Error>");

    // A service account gets the describe as it was asked, and the emulator any other request.
    transport->reply(200, "{\"TableName\":\"t1\"}");
    transport->reply(204);
    EXPECT_EQ(client.describeTable("t1").errorKind, Success);
    EXPECT_EQ(emulator.deleteTable("t1").errorKind, Success);
    EXPECT_EQ(transport->request(4).url, kBase + "Tables('t1')");
    EXPECT_EQ(transport->request(5).method + " " + lastUrl(), "DELETE " + listing + "('t1')");
}

TEST_F(ClientTest, ADescribeTheFilterMissesIsLookedUpInTheListingWithoutRegardToCase) {
    transport->reply(200, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables\",\"value\":[]}");
    transport->reply(200, "{\"value\":[{\"TableName\":\"a\"}]}", {{"x-ms-continuation-NextTableName", "b+c"}});
    transport->reply(200, "{\"value\":[{\"TableName\":\"CaseTbl\"}]}");
    auto found = emulator.describeTable("casetbl");
    ASSERT_EQ(found.errorKind, Success);
    EXPECT_EQ(found.result->tableName, "CaseTbl");
    ASSERT_EQ(transport->requestCount(), 3u);
    EXPECT_EQ(transport->request(2).url, "http://127.0.0.1:10002/devstoreaccount1/Tables?NextTableName=b%2Bc");

    // A listing page that fails says nothing about the table: the describe fails with it.
    transport->reply(200, "{\"value\":[]}");
    transport->reply(403, "{\"odata.error\":{\"code\":\"AuthorizationFailure\"}}");
    auto unknown = emulator.describeTable("casetbl");
    EXPECT_EQ(unknown.errorKind, Failed);
    EXPECT_NE(unknown.errorMessage.find("AuthorizationFailure"), std::string::npos) << unknown.errorMessage;
}
