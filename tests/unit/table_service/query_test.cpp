#include <cstdint>
#include <cstring>

#include "ClientFixture.h"
#include "table_service/TableServiceText.h"

using namespace table_service_test;

namespace {

class QueryTest : public ClientTest {
protected:
    std::shared_ptr<IdaOutput> output = env.createOutput("t", true);
    testing_support::OutputRecord written() const { return env.output("t"); }
    int query(AzureTableContinuationToken& token, long long fromTime = 0, long long toTime = 0) {
        return client.queryEntities("t", token, output.get(), token, fromTime, toTime);
    }
};

AzureTableContinuationToken token(const std::string& partitionKey, const std::string& rowKey) {
    AzureTableContinuationToken t;
    t.nextPartitionKey = partitionKey;
    t.nextRowKey = rowKey;
    return t;
}

uint64_t bitsOf(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

}  // namespace

// Time bounds become one filter, upper bound first; continuation keys are percent-encoded and
// share the query with it.
TEST_F(QueryTest, BoundsAndContinuationKeysBecomeTheQueryString) {
    const std::string le = "Timestamp%20le%20datetime'2023-11-14T22:13:20Z'";
    const std::string gt = "Timestamp%20gt%20datetime'2020-12-31T23:59:59Z'";
    const struct {
        AzureTableContinuationToken start;
        long long from, to;
        std::string query;
    } cases[] = {
        {{}, 0, 0, ""},
        {{}, 1609459199, 1700000000, "?$filter=" + le + "%20and%20" + gt},
        {{}, 1609459199, 0, "?$filter=" + gt},
        {token("1!a+b/c=", "2!x y=="), 0, 0, "?NextPartitionKey=1%21a%2Bb%2Fc%3D&NextRowKey=2%21x%20y%3D%3D"},
        {token("p-1_2.3~", ""), 0, 1700000000, "?NextPartitionKey=p-1_2.3~&$filter=" + le},
        {token("", "r"), 1609459199, 0, "?NextRowKey=r&$filter=" + gt},
    };
    for (const auto& c : cases) {
        transport->reply(200, "{\"value\":[]}");
        AzureTableContinuationToken next = c.start;
        EXPECT_EQ(query(next, c.from, c.to), 0);
        EXPECT_EQ(transport->request(transport->requestCount() - 1).url, kBase + "t()" + c.query);
    }
}

TEST_F(QueryTest, EachPageIsOnePutOfLinesAndOneRestart) {
    transport->reply(200,
                     "{\"odata.metadata\":\"m\",\"value\":[{\"odata.etag\":\"W/1\",\"PartitionKey\":\"p\",\"RowKey\":\"1\"},"
                     "{\"PartitionKey\":\"p\", \"RowKey\":\"2\", \"n\": 1.50}],"
                     "\"x-ms-continuation-NextPartitionKey\":\"1!p+/=\",\"x-ms-continuation-NextRowKey\":\"1!r=\"}");
    AzureTableContinuationToken next;
    ASSERT_EQ(query(next), 0);
    EXPECT_EQ(written().puts, std::vector<std::string>{"{\"odata.etag\":\"W/1\",\"PartitionKey\":\"p\",\"RowKey\":\"1\"}\n"
                                                       "{\"PartitionKey\":\"p\",\"RowKey\":\"2\",\"n\":1.5}\n"});
    // The restart string keeps the keys as the service gave them.
    EXPECT_EQ(written().restarts, std::vector<std::string>{"1!p+/=:1!r="});
    EXPECT_EQ(toRestartString(next), "1!p+/=:1!r=");
}

// The transport hands the reply's headers up as they came; the client puts the continuation
// headers first into a successful reply's JSON object (written by the JSON writer).
TEST(ContinuationFolding, HeadersBecomeLeadingMembersOfAnObjectBody) {
    struct Case {
        std::map<std::string, std::string> headers;
        const char* body;
        const char* folded;
    } cases[] = {
        {{{"x-ms-continuation-nextpartitionkey", "1!8!YQ--"}, {"x-ms-continuation-nextrowkey", "a\"b\x01"}},
         "{\"value\":[]}",
         "{\"x-ms-continuation-NextPartitionKey\":\"1!8!YQ--\",\"x-ms-continuation-NextRowKey\":\"a\\\"b\\u0001\",\"value\":[]}"},
        {{{"x-ms-continuation-nextrowkey", "r"}}, "[1]", "[1]"},
    };
    for (const auto& c : cases) {
        AzureTableResponse response;
        response.status = 200;
        response.headers = c.headers;
        response.body = c.body;
        table_service::foldContinuationIntoBody(response);
        EXPECT_EQ(response.body, c.folded);
    }
}

TEST_F(QueryTest, AnEmptyPageWithContinuationIsNotTheEnd) {
    // The continuation comes as a reply header; the last page gives an empty token and restart.
    transport->reply(200, "{\"value\":[]}", {{"x-ms-continuation-NextPartitionKey", "p2"}});
    transport->reply(200, "{\"value\":[{\"PartitionKey\":\"p2\",\"RowKey\":\"a\"}]}");
    // Driven the way the backup scan drives it: until the token comes back empty.
    AzureTableContinuationToken next;
    int pages = 0;
    do {
        ASSERT_EQ(query(next), 0);
    } while (++pages < 10 && !toRestartString(next).empty());
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(transport->request(1).url, kBase + "t()?NextPartitionKey=p2");
    EXPECT_EQ(written().puts, (std::vector<std::string>{"", "{\"PartitionKey\":\"p2\",\"RowKey\":\"a\"}\n"}));
    EXPECT_EQ(written().restarts, (std::vector<std::string>{"p2:", ""}));
}

// A refused write, a failed request or a reply that is no page leaves the token where it was
// and records no restart.
TEST_F(QueryTest, APageNotWrittenLeavesTokenAndRestartAlone) {
    const struct {
        int status;
        const char* body;
        int result;
    } cases[] = {
        {200, "{\"value\":[{\"a\":1}],\"x-ms-continuation-NextPartitionKey\":\"p\"}", 1},  // the output refuses it
        {404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}", ResourceNotFound},
        {409, "{\"odata.error\":{\"code\":\"#ThrottlingException\"}}", Throttled},
        {200, "", Failed}, {200, "<html>", Failed}, {200, "{\"odata.metadata\":\"m\"}", Failed},
        {200, "{\"value\":null}", Failed}, {200, "[1]", Failed},
    };
    env.refusePutNumber(1);
    for (const auto& c : cases) {
        transport->reply(c.status, c.body);
        AzureTableContinuationToken next = token("p", "r");
        EXPECT_EQ(query(next), c.result) << c.body;
        EXPECT_EQ(toRestartString(next), "p:r") << c.body;
    }
    EXPECT_TRUE(written().restarts.empty());
    EXPECT_EQ(written().puts.size(), 0u);
}

TEST_F(QueryTest, IsTableEmptyLooksAtTheFirstUnfilteredPage) {
    transport->reply(200, "{\"value\":[{\"PartitionKey\":\"p\"}]}");
    transport->reply(200, "{\"value\":[],\"x-ms-continuation-NextPartitionKey\":\"p\"}");
    transport->reply(404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}");
    EXPECT_FALSE(client.isTableEmpty("t"));
    EXPECT_TRUE(client.isTableEmpty("t"));
    EXPECT_FALSE(client.isTableEmpty("t"));
    EXPECT_EQ(transport->request(0).url, kBase + "t()");
}

TEST_F(QueryTest, DoublesKeepTheirValueAndFloatingForm) {
    transport->reply(200,
                     "{\"value\":[{\"a\":0.1,\"b\":2.0,\"c\":1e+300,\"d\":5e-324,\"e\":-0.0,"
                     "\"f\":1.7976931348623157e308,\"g\":0.30000000000000004,\"h\":123456789.12345679,"
                     "\"i\":9007199254740993,\"j\":\"9007199254740993\",\"j@odata.type\":\"Edm.Int64\","
                     "\"k\":-2147483649,\"l\":2.2250738585072014e-308}]}");
    AzureTableContinuationToken next;
    ASSERT_EQ(query(next), 0);
    std::string line = written().data();
    ASSERT_FALSE(line.empty());
    line.pop_back();
    for (const char* exact : {"\"b\":2.0,", "\"e\":-0.0,", "\"i\":9007199254740993,", "\"k\":-2147483649,",
                              "\"j\":\"9007199254740993\",\"j@odata.type\":\"Edm.Int64\""})
        EXPECT_NE(line.find(exact), std::string::npos) << exact << " in " << line;

    rapidjson::Document back;
    ASSERT_TRUE(table_text::parseJson(back, line));
    const std::pair<const char*, double> expected[] = {
        {"a", 0.1}, {"b", 2.0}, {"c", 1e300}, {"d", 5e-324}, {"e", -0.0}, {"f", 1.7976931348623157e308},
        {"g", 0.30000000000000004}, {"h", 123456789.12345679}, {"l", 2.2250738585072014e-308}};
    for (const auto& member : expected) {
        ASSERT_TRUE(back[member.first].IsDouble()) << member.first;
        EXPECT_EQ(bitsOf(back[member.first].GetDouble()), bitsOf(member.second)) << member.first << " in " << line;
    }
}
