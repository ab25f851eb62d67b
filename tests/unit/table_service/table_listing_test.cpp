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
    const struct { int status; std::string body; Headers headers; std::vector<const char*> words; size_t requests; } cases[] = {
        {403, errorBody("AuthenticationFailed"), {}, {"HTTP 403", "AuthenticationFailed", "check the account name and key"}, 1},
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
        EXPECT_TRUE(!c.requests || transport->requestCount() == c.requests) << c.body;  // 0: retried as the transport does
    }
}

// On the emulator a describe goes out as a filtered table query and its answer is made to look
// like the service's. A name the filter misses is looked up in the listing (where names match
// without regard to case, which the conformance suite runs against the emulator).
TEST_F(ClientTest, EmulatorDescribeIsAFilteredQueryAnsweredLikeTheService) {
    const std::string metadata = "{\"odata.metadata\":\"" + kBase + "devstoreaccount1/$metadata#Tables";
    const std::string listing = kBase + "devstoreaccount1/Tables";
    transport->reply(200, metadata + "\",\"value\":[{\"TableName\":\"t1\"}]}");
    auto found = emulator.describeTable("t1");
    EXPECT_EQ(transport->request(0).method + " " + lastUrl(), "GET " + listing + "?$filter=TableName%20eq%20't1'");
    ASSERT_EQ(found.errorKind, Success);
    EXPECT_EQ(found.result->toDescriptionJson(), "{\"table\":" + metadata + "/@Element\",\"TableName\":\"t1\"}}");
    // Not in the filtered page nor in the listing (where only "t10" is): not found, as the service says it.
    transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[]}");
    transport->reply(200, "{\"value\":[{\"TableName\":\"a\"}]}", {{"x-ms-continuation-NextTableName", "b+c"}});
    transport->reply(200, "{\"value\":[{\"TableName\":\"t10\"}]}", {{"x-ms-request-id", "r3"}});
    auto missing = emulator.describeTable("t1");
    EXPECT_EQ(missing.errorKind, ResourceNotFound);
    EXPECT_EQ(missing.errorMessage.rfind("{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"lang\":\"en-US\",\"value\":"
                                         "\"The specified resource does not exist.\\nRequestId:r3\\nTime:", 0), 0u) << missing.errorMessage;
    EXPECT_EQ(lastUrl(), listing + "?NextTableName=b%2Bc");
    // A failed query or listing page says nothing about the table: the describe fails with it.
    transport->reply(403, "<Error>AuthorizationFailure</Error>");
    auto refused = emulator.describeTable("t1");
    EXPECT_EQ(refused.errorKind, Failed);
    EXPECT_EQ(refused.errorMessage, "<Error>AuthorizationFailure</Error>");
    transport->reply(200, "{\"value\":[]}");
    transport->reply(403, errorBody("AuthorizationFailure"));
    EXPECT_EQ(emulator.describeTable("casetbl").errorMessage, errorBody("AuthorizationFailure"));

    // Any other request goes to the emulator as it was asked.
    transport->reply(204);
    EXPECT_EQ(emulator.deleteTable("t1").errorKind, Success);
    EXPECT_EQ(transport->requests().back().method + " " + lastUrl(), "DELETE " + listing + "('t1')");
}
