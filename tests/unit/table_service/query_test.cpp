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
}  // namespace

// Time bounds become one filter, upper bound first; continuation keys are percent-encoded and
// share the query with it.
TEST_F(QueryTest, BoundsAndContinuationKeysBecomeTheQueryString) {
    const std::string le = "Timestamp%20le%20datetime'2023-11-14T22:13:20Z'";
    const std::string gt = "Timestamp%20gt%20datetime'2020-12-31T23:59:59Z'";
    const struct { AzureTableContinuationToken start; long long from, to; std::string query; } cases[] = {
        {{}, 0, 0, ""},
        {{}, 1609459199, 1700000000, "?$filter=" + le + "%20and%20" + gt},
        {{"1!a+b/c=", "2!x y=="}, 0, 0, "?NextPartitionKey=1%21a%2Bb%2Fc%3D&NextRowKey=2%21x%20y%3D%3D"},
        {{"p-1_2.3~", ""}, 0, 1700000000, "?NextPartitionKey=p-1_2.3~&$filter=" + le},
        {{"", "r"}, 1609459199, 0, "?NextRowKey=r&$filter=" + gt},
    };
    for (const auto& c : cases) {
        transport->reply(200, "{\"value\":[]}");
        AzureTableContinuationToken next = c.start;
        EXPECT_EQ(query(next, c.from, c.to), 0);
        EXPECT_EQ(lastUrl(), kBase + "t()" + c.query);
    }
}

// Each page is one put of its lines and one restart string, which keeps the keys as the service
// gave them; the continuation comes in the body or as reply headers, and an empty page with
// one is not the end. Driven the way the backup scan drives it: until the token comes back empty.
TEST_F(QueryTest, EachPageIsOnePutOfLinesAndOneRestartUntilTheTokenIsEmpty) {
    transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[{\"odata.etag\":\"W/1\",\"PartitionKey\":\"p\",\"RowKey\":\"1\"},"
                          "{\"PartitionKey\":\"p\", \"RowKey\":\"2\", \"n\": 1.50}],"
                          "\"x-ms-continuation-NextPartitionKey\":\"1!p+/=\",\"x-ms-continuation-NextRowKey\":\"1!r=\"}");
    transport->reply(200, "{\"value\":[]}",
                     {{"x-ms-continuation-NextPartitionKey", "p2"}, {"x-ms-continuation-NextRowKey", "r"}});
    transport->reply(200, "{\"value\":[{\"PartitionKey\":\"p2\",\"RowKey\":\"a\"}]}");
    AzureTableContinuationToken next;
    int pages = 0;
    do {
        ASSERT_EQ(query(next), 0);
    } while (++pages < 10 && !toRestartString(next).empty());
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(transport->request(2).url, kBase + "t()?NextPartitionKey=p2&NextRowKey=r");
    EXPECT_EQ(written().puts, (std::vector<std::string>{"{\"odata.etag\":\"W/1\",\"PartitionKey\":\"p\",\"RowKey\":\"1\"}\n"
                                                        "{\"PartitionKey\":\"p\",\"RowKey\":\"2\",\"n\":1.50}\n",
                                                        "", "{\"PartitionKey\":\"p2\",\"RowKey\":\"a\"}\n"}));
    EXPECT_EQ(written().restarts, (std::vector<std::string>{"1!p+/=:1!r=", "p2:r", ""}));
}

// A refused write, a failed request or a reply that is no page leaves the token where it was
// and records no restart.
TEST_F(QueryTest, APageNotWrittenLeavesTokenAndRestartAlone) {
    const struct { int status; const char* body; int result; } cases[] = {
        {200, "{\"value\":[{\"a\":1}],\"x-ms-continuation-NextPartitionKey\":\"p\"}", 1},  // the output refuses it
        {404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}", ResourceNotFound},
        {409, "{\"odata.error\":{\"code\":\"#ThrottlingException\"}}", Throttled},
        {200, "", Failed}, {200, "<html>", Failed}, {200, "{\"odata.metadata\":\"m\"}", Failed},
        {200, "{\"value\":null}", Failed}, {200, "[1]", Failed},
    };
    env.refusePutNumber(1);
    for (const auto& c : cases) {
        transport->reply(c.status, c.body);
        AzureTableContinuationToken next{"p", "r"};
        EXPECT_EQ(query(next), c.result) << c.body;
        EXPECT_EQ(toRestartString(next), "p:r") << c.body;
    }
    EXPECT_TRUE(written().restarts.empty() && written().puts.empty());
}

// Every double comes back with the same bits; integers and typed strings keep their form.
TEST_F(QueryTest, DoublesKeepTheirValueAndFloatingForm) {
    transport->reply(200, "{\"value\":[{\"a\":0.1,\"b\":2.0,\"c\":1e+300,\"d\":5e-324,\"e\":-0.0,\"f\":1.7976931348623157e308,"
                          "\"g\":0.30000000000000004,\"h\":123456789.12345679,\"i\":9007199254740993,\"j\":\"9007199254740993\","
                          "\"j@odata.type\":\"Edm.Int64\",\"k\":-2147483649,\"l\":2.2250738585072014e-308}]}");
    AzureTableContinuationToken next;
    ASSERT_EQ(query(next), 0);
    const std::string line = written().data();  // integers and typed strings are kept as written
    for (const char* exact : {"\"b\":2.0,", "\"e\":-0.0,", "\"i\":9007199254740993,", "\"k\":-2147483649,",
                              "\"j\":\"9007199254740993\",\"j@odata.type\":\"Edm.Int64\""})
        EXPECT_NE(line.find(exact), std::string::npos) << exact << " in " << line;
    rapidjson::Document back;
    ASSERT_TRUE(table_text::parseJson(back, line.substr(0, line.size() - 1))) << line;
    const std::pair<const char*, double> expected[] = {{"a", 0.1}, {"b", 2.0}, {"c", 1e300}, {"d", 5e-324}, {"e", -0.0},
        {"f", 1.7976931348623157e308}, {"g", 0.30000000000000004}, {"h", 123456789.12345679}, {"l", 2.2250738585072014e-308}};
    for (const auto& member : expected) {
        const double value = back[member.first].IsDouble() ? back[member.first].GetDouble() : 1.5;
        EXPECT_EQ(std::memcmp(&value, &member.second, sizeof value), 0) << member.first << " in " << line;
    }
}

// A page is stored as rapidjson's writer renders each of its entities from a parsed document
// (escapes, Unicode, nesting, duplicate members, white space, elements that are no object), except
// that a number keeps the service's text. A continuation header outweighs a body member.
TEST_F(QueryTest, LinesAreTheWritersRenderingWithNumbersAsSent) {
    const std::string elements[] = {
        "{\"odata.etag\":\"W/\\\"datetime'2024-01-01T00%3A00%3A00Z'\\\"\",\"PartitionKey\":\"p\",\"RowKey\":"
        "\"caf\\u00e9 \\/ \\u6771 \\ud83d\\ude00\",\"s\":\"t\\tn\\n\\u0001q\\\"b\\\\\",\"n\":-12,\"d\":0.5,\"w\":2.0}",
        " { \"a\" : [ 1 , { \"b\" : null } , true , false ] , \"a\" : \"dup\" , \"o\" : { } } ",
        "\"no object\"", "[]", "{}", "7",
    };
    std::string page = "{\"odata.metadata\":\"m\",\"value\":[", expected;
    for (const auto& element : elements) {
        page += (page.back() == '[' ? "" : ",") + element;
        rapidjson::Document document;
        ASSERT_TRUE(table_text::parseJson(document, element)) << element;
        expected += table_text::compactJson(document) + "\n";
    }
    transport->reply(200, page + "],\"x-ms-continuation-NextPartitionKey\":\"body\"}",
                     {{"x-ms-continuation-NextPartitionKey", "header"}});
    AzureTableContinuationToken next;
    ASSERT_EQ(query(next), 0);
    EXPECT_EQ(written().data(), expected);
    EXPECT_EQ(next.nextPartitionKey, "header");

    transport->reply(200, "{\"value\":[{\"a\":1.50,\"b\":1E+300,\"c\":-0,\"d\":1e-7,\"e\":18446744073709551616,"
                          "\"f\":0.30000000000000004}],\"value\":[{\"second\":1}]}");
    ASSERT_EQ(query(next), 0);
    EXPECT_EQ(written().puts.back(), "{\"a\":1.50,\"b\":1E+300,\"c\":-0,\"d\":1e-7,\"e\":18446744073709551616,"
                                     "\"f\":0.30000000000000004}\n");
}

// The page is parsed once, as the transport's check that the reply is JSON: a page cut short is
// retried like any such reply, and only the whole page is stored.
TEST_F(QueryTest, APageCutShortIsFetchedAgain) {
    const std::string page = "{\"value\":[{\"PartitionKey\":\"p\",\"RowKey\":\"1\"},{\"PartitionKey\":\"p\",\"RowKey\":\"2\"}]}";
    transport->reply(200, page.substr(0, page.size() / 2));
    transport->reply(200, page);
    AzureTableContinuationToken next;
    ASSERT_EQ(query(next), 0);
    EXPECT_EQ(transport->requestCount(), 2u);
    EXPECT_EQ(written().puts, std::vector<std::string>{"{\"PartitionKey\":\"p\",\"RowKey\":\"1\"}\n"
                                                       "{\"PartitionKey\":\"p\",\"RowKey\":\"2\"}\n"});
}

// With read-ahead, the page the headers name is asked for while the current one is read; pages
// are written in order and once. A reply that is no page is fetched again with the transport's
// check (the page read ahead from its headers is dropped); a page whose read-ahead met a failure
// the transport retries is sent again with those retries, and an error then is the page's.
TEST_F(QueryTest, ReadAheadKeepsThePagesInOrderAndFetchesABadReplyAgain) {
    const std::string pages[] = {"{\"value\":[{\"PartitionKey\":\"p\",\"RowKey\":\"1\"}]}",
                                 "{\"value\":[{\"PartitionKey\":\"p\",\"RowKey\":\"2\"}]}",
                                 "{\"value\":[{\"PartitionKey\":\"p\",\"RowKey\":\"3\"}]}"};
    auto after = [](const char* row) {
        return std::vector<std::pair<std::string, std::string>>{{"x-ms-continuation-NextPartitionKey", "p"},
                                                                {"x-ms-continuation-NextRowKey", row}};
    };
    transport->reply(200, pages[0], after("2"));
    transport->reply(200, pages[1].substr(0, 30), after("3"));  // mangled on the way
    transport->reply(200, pages[2]);                              // read ahead from it, dropped
    transport->reply(200, pages[1], after("3"));
    transport->reply(200, pages[2]);
    transport->reply(200, pages[0], after("x"));
    transport->reply(503, errorBody("ServerBusy"));    // the page read ahead: one attempt only
    transport->reply(400, errorBody("InvalidInput"));  // sent again: fails
    transport->reply(200, pages[1]);
    client.setReadAhead(true);
    AzureTableContinuationToken next;
    int pagesRead = 0;
    do {
        ASSERT_EQ(query(next), 0);
    } while (++pagesRead < 10 && !toRestartString(next).empty());
    EXPECT_EQ(pagesRead, 3);
    EXPECT_EQ(written().data(), pages[0].substr(10, 33) + "\n" + pages[1].substr(10, 33) + "\n" + pages[2].substr(10, 33) + "\n");
    EXPECT_EQ(written().restarts, (std::vector<std::string>{"p:2", "p:3", ""}));
    std::vector<std::string> urls;
    for (size_t i = 0; i < transport->requestCount(); ++i) urls.push_back(transport->request(i).url.substr(kBase.size()));
    EXPECT_EQ(urls, (std::vector<std::string>{"t()", "t()?NextPartitionKey=p&NextRowKey=2", "t()?NextPartitionKey=p&NextRowKey=3",
                                              "t()?NextPartitionKey=p&NextRowKey=2", "t()?NextPartitionKey=p&NextRowKey=3"}));

    next = AzureTableContinuationToken();
    ASSERT_EQ(query(next), 0);
    EXPECT_EQ(query(next), classifyAzureTableError(errorBody("InvalidInput")));
    EXPECT_EQ(toRestartString(next), "p:x");
    ASSERT_EQ(query(next), 0);
    EXPECT_EQ(transport->requestCount(), 9u);
    EXPECT_EQ(lastUrl(), kBase + "t()?NextPartitionKey=p&NextRowKey=x");
    EXPECT_EQ(written().restarts.size(), 5u);
}
