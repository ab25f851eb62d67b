#include <gtest/gtest.h>

#include "platform/http/CAzureTableStorageInfo.h"
#include "tests/support/FakeSleeper.h"
#include "tests/support/FakeTransport.h"
#include "tests/support/MemoryEnvironment.h"

namespace {

struct Listing {
    testing_support::FakeTransportScope transport;
    testing_support::FakeSleeperScope sleeper;
    testing_support::MemoryEnvironment environment;
    std::unique_ptr<CAzureTableStorageInfo> account;
    Listing() {
        account = std::make_unique<CAzureTableStorageInfo>(environment, 32);
        account->Connect("acct", "https://acct.table.core.windows.net", "a2V5");
    }
};

}  // namespace

TEST(TableListing, FollowsTheNextTableNameUntilTheLastPage) {
    Listing l;
    l.transport->reply(200, "{\"value\":[{\"TableName\":\"a\"},{\"TableName\":\"b\"}]}",
                       {{"x-ms-continuation-NextTableName", "1!8!Yw-- +/="}});
    l.transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[{\"TableName\":\"c\"}]}");
    std::vector<std::string> tables{"stale"};
    std::string error;
    ASSERT_TRUE(l.account->queryTables(tables, &error)) << error;
    EXPECT_EQ(tables, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(l.transport->requestCount(), 2u);
    EXPECT_EQ(l.transport->request(0).url, "https://acct.table.core.windows.net/Tables");
    EXPECT_EQ(l.transport->request(1).url,
              "https://acct.table.core.windows.net/Tables?NextTableName=1%218%21Yw--%20%2B%2F%3D");
    EXPECT_EQ(l.transport->request(1).headers.at("Accept"), "application/json;odata=minimalmetadata");
}

TEST(TableListing, FailuresAreReportedAndNeverLoop) {
    {
        Listing l;
        l.transport->reply(403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}");
        std::vector<std::string> tables;
        std::string error;
        EXPECT_FALSE(l.account->queryTables(tables, &error));
        EXPECT_NE(error.find("HTTP 403"), std::string::npos) << error;
        EXPECT_NE(error.find("AuthenticationFailed"), std::string::npos) << error;
    }
    for (const char* body : {"not json", "{\"value\":[{\"TableName\":"}) {
        Listing l;
        l.transport->setResponder([body](const platform::http::HttpExchange&) {
            platform::http::HttpReply r;
            r.status = 200;
            r.body = body;
            return r;
        });
        std::vector<std::string> tables;
        std::string error;
        EXPECT_FALSE(l.account->queryTables(tables, &error));
        EXPECT_NE(error.find("InvalidReply"), std::string::npos) << error;
        EXPECT_NE(error.find("not valid JSON"), std::string::npos) << error;
    }
    {
        Listing l;
        l.transport->reply(200, "{\"odata.metadata\":\"x\"}");
        std::vector<std::string> tables;
        std::string error;
        EXPECT_FALSE(l.account->queryTables(tables, &error));
        EXPECT_NE(error.find("unexpected reply"), std::string::npos) << error;
    }
    {
        Listing l;
        l.transport->setResponder([](const platform::http::HttpExchange&) {
            platform::http::HttpReply r;
            r.status = 200;
            r.body = "{\"value\":[]}";
            r.headers["x-ms-continuation-nexttablename"] = "same";
            return r;
        });
        std::vector<std::string> tables;
        std::string error;
        EXPECT_FALSE(l.account->queryTables(tables, &error));
        EXPECT_NE(error.find("repeated"), std::string::npos) << error;
        EXPECT_EQ(l.transport->requestCount(), 2u);
    }
}
