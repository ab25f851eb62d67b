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
    const struct {
        int status;
        const char* body;
        const char* token;
        const char* words;
    } cases[] = {
        {403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}", nullptr, "HTTP 403"},
        {200, "{\"value\":[{\"TableName\":", nullptr, "not valid JSON"},
        {200, "{\"odata.metadata\":\"x\"}", nullptr, "unexpected reply"},
        {200, "{\"value\":[]}", "same", "repeated"},
    };
    for (const auto& c : cases) {
        Listing l;
        l.transport->setResponder([&c](const platform::http::HttpExchange&) {
            platform::http::HttpReply r;
            r.status = c.status;
            r.body = c.body;
            if (c.token) r.headers["x-ms-continuation-nexttablename"] = c.token;
            return r;
        });
        std::vector<std::string> tables;
        std::string error;
        EXPECT_FALSE(l.account->queryTables(tables, &error));
        EXPECT_NE(error.find(c.words), std::string::npos) << error;
        if (c.token) {
            EXPECT_EQ(l.transport->requestCount(), 2u);
        }
    }
}
