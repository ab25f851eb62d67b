#include <gtest/gtest.h>

#include "table_service/TableServiceText.h"

using namespace table_text;

namespace {

std::string annotated(const std::string& text) { return annotateDoubles(text, scanEntity(text)); }

}  // namespace

TEST(EntityScan, FindsKeysOfTheTopLevelOnly) {
    auto scan = scanEntity("{\"x\":{\"PartitionKey\":\"inner\"},\"PartitionKey\":\"p\",\"RowKey\":\"r\\u00e9\"}");
    ASSERT_TRUE(scan.isObject);
    EXPECT_TRUE(scan.hasPartitionKey);
    EXPECT_EQ(scan.partitionKey, "p");
    EXPECT_EQ(scan.rowKey, "r\xC3\xA9");

    // The first member of a name decides, as a DOM look-up would.
    auto numeric = scanEntity("{\"PartitionKey\":1,\"PartitionKey\":\"late\"}");
    EXPECT_TRUE(numeric.isObject);
    EXPECT_FALSE(numeric.hasPartitionKey);

    EXPECT_FALSE(scanEntity("[{\"PartitionKey\":\"p\"}]").isObject);
    EXPECT_FALSE(scanEntity("{\"PartitionKey\":\"p\"} trailing").isObject);
    EXPECT_FALSE(scanEntity(std::string("{\"PartitionKey\":\"p\"}\0{}", 23)).isObject);
    EXPECT_FALSE(scanEntity("{PartitionKey:\"p\"}").isObject);
}

TEST(DoubleAnnotation, AddsTheTypeOnlyWhereTheNumberWouldLoseIt) {
    EXPECT_EQ(annotated("{\"a\":1,\"b\":-3,\"c\":\"1.5\"}"), "{\"a\":1,\"b\":-3,\"c\":\"1.5\"}");
    EXPECT_EQ(annotated("{\"a\":1.0,\"b\":-1E-5,\"c\":18446744073709551616}"),
              "{\"a\":1.0,\"a@odata.type\":\"Edm.Double\",\"b\":-1E-5,\"b@odata.type\":\"Edm.Double\",\"c\":18446744073709551616}");
    // Existing annotations count wherever they stand, and white space is left as it was.
    EXPECT_EQ(annotated("{\"a@odata.type\":\"Edm.Double\", \"a\" : 1.0 , \"b\" : 2E3 }"),
              "{\"a@odata.type\":\"Edm.Double\", \"a\" : 1.0 , \"b\" : 2E3,\"b@odata.type\":\"Edm.Double\" }");
    EXPECT_EQ(annotated("{\"q\\\"k\":0.5}"), "{\"q\\\"k\":0.5,\"q\\\"k@odata.type\":\"Edm.Double\"}");
    EXPECT_EQ(annotated("{\"n\":{\"inner\":0.5},\"l\":[2.5]}"), "{\"n\":{\"inner\":0.5},\"l\":[2.5]}");
    EXPECT_EQ(annotated("{\"d\":0.5,\"d\":1.5}"), "{\"d\":0.5,\"d@odata.type\":\"Edm.Double\",\"d\":1.5}");
    EXPECT_EQ(annotated("not json 1.5"), "not json 1.5");
}

TEST(CompactRewrite, KeepsEveryNumberDigitForDigit) {
    std::string out;
    ASSERT_TRUE(rewriteCompact("{ \"a\" : 1.50 , \"b\":1E+300, \"c\":18446744073709551616, \"d\":-0, \"e\":\"\\u0041\" }", out));
    EXPECT_EQ(out, "{\"a\":1.50,\"b\":1E+300,\"c\":18446744073709551616,\"d\":-0,\"e\":\"A\"}");
    EXPECT_FALSE(rewriteCompact("{\"a\":1", out));
    EXPECT_FALSE(rewriteCompact("{} {}", out));
}

TEST(BatchReply, ConfirmsOnlyOneSuccessPerOperation) {
    struct Case {
        const char* body;
        size_t operations;
        bool confirms;
    } cases[] = {
        {"--b\nHTTP/1.1 204 No Content\n\n--b\nHTTP/1.1 201 Created\n--b--\n", 2, true},
        {"--b\r\n\r\nHTTP/1.1 204\r\n", 1, true},
        {"", 1, false},                                      // nothing confirmed
        {"--b\nHTTP/1.1 204 No Content\n--b", 2, false},     // cut short
        {"--b\nHTTP/1.1 204\n--b\nHTTP/1.1 204\n", 1, false},  // more than was sent
        {"--b\nHTTP/1.1 204 No Content\n--b\nHTTP/1.1 409 Conflict\n", 2, false},
        {"--b\r\nHTTP/1.1 500 Internal Server Error\r\n", 1, false},
        {"HTTP/1.1 404 Not Found\n{\"odata.error\":{\"message\":{\"value\":\"0:x\"}}}", 1, false},
        {"HTTP/1.1 2\n", 1, false},
        // Text inside a body that merely mentions a status is not a status line.
        {"HTTP/1.1 202 Accepted\n{\"text\":\"HTTP/1.1 400\"}\n", 1, true},
    };
    for (const auto& c : cases) EXPECT_EQ(batchReplyConfirms(c.body, c.operations), c.confirms) << c.body;
}
