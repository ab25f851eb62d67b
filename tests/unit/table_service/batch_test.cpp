#include <cctype>
#include <set>

#include "ClientFixture.h"

using namespace table_service_test;

namespace {

const size_t kFourMiB = 4 * 1024 * 1024;

// A line as a backup writes it: the entity tag first.
std::string line(const std::string& partitionKey, const std::string& rowKey, const std::string& rest = "") {
    return "{\"odata.etag\":\"W/\\\"datetime'2024-01-01T00%3A00%3A00.1Z'\\\"\",\"PartitionKey\":\"" + partitionKey +
           "\",\"RowKey\":\"" + rowKey + "\"" + rest + "}";
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

size_t operationsIn(const platform::http::HttpExchange& request) { return countOf(request.body, " HTTP/1.1\n"); }

std::string batchBoundaryOf(const platform::http::HttpExchange& request) {
    const std::string prefix = "multipart/mixed; boundary=";
    auto found = request.headers.find("Content-Type");
    if (found == request.headers.end() || found->second.compare(0, prefix.size(), prefix) != 0) return "";
    return found->second.substr(prefix.size());
}

std::string changesetBoundaryOf(const platform::http::HttpExchange& request) {
    const std::string marker = "\nContent-Type: multipart/mixed; boundary=";
    size_t start = request.body.find(marker);
    if (start == std::string::npos) return "";
    start += marker.size();
    return request.body.substr(start, request.body.find('\n', start) - start);
}

// prefix + "_" + a lower-case UUID text (8-4-4-4-12 hexadecimal digits).
bool isBoundaryName(const std::string& name, const std::string& prefix) {
    if (name.size() != prefix.size() + 37 || name.compare(0, prefix.size() + 1, prefix + "_") != 0) return false;
    const std::string uuid = name.substr(prefix.size() + 1);
    for (size_t i = 0; i < uuid.size(); ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        char c = uuid[i];
        if (hyphen ? c != '-' : !(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// A reply to a batch whose change set the service refused, as the emulator sends it.
std::string refusedChangesetReply(int status, const std::string& reason) {
    return "--batchresponse_1\r\nContent-Type: multipart/mixed; boundary=changesetresponse_2\r\n\r\n"
           "--changesetresponse_2\r\nContent-Type: application/http\r\nContent-Transfer-Encoding: binary\r\n\r\n"
           "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-ID: 2\r\nDataServiceVersion: 3.0;\r\n"
           "Content-Type: application/json;odata=minimalmetadata;charset=utf-8\r\n\r\n"
           "{\"odata.error\":{\"code\":\"InvalidInput\",\"message\":{\"lang\":\"en-US\",\"value\":\"1:bad\"}}}\r\n"
           "--changesetresponse_2--\r\n--batchresponse_1--\r\n";
}

std::string acceptedReply(int operations) {
    std::string body = "--batchresponse_1\r\nContent-Type: multipart/mixed; boundary=changesetresponse_2\r\n\r\n";
    for (int i = 0; i < operations; ++i) {
        body += "--changesetresponse_2\r\nContent-Type: application/http\r\nContent-Transfer-Encoding: binary\r\n\r\n"
                "HTTP/1.1 204 No Content\r\nDataServiceVersion: 3.0;\r\nETag: W/\"x\"\r\n\r\n\r\n";
    }
    return body + "--changesetresponse_2--\r\n--batchresponse_1--\r\n";
}

// Answers every batch that has no queued reply with a 202 confirming each of its operations.
void acceptEveryBatch(testing_support::FakeTransport& transport) {
    transport.setResponder([](const platform::http::HttpExchange& request) {
        platform::http::HttpReply reply;
        reply.status = 202;
        reply.body = acceptedReply(static_cast<int>(operationsIn(request)));
        return reply;
    });
}

}  // namespace

TEST(RemoveOdataTag, DropsExactlyTheFirstMember) {
    EXPECT_EQ(AzureTableStorage::removeOdataTag("{\"odata.etag\":\"W/\\\"x'1'\\\"\",\"PartitionKey\":\"p\",\"RowKey\":\"r\"}"),
              "{\"PartitionKey\":\"p\",\"RowKey\":\"r\"}");
}

TEST_F(ClientTest, BatchBodyByteForByte) {
    transport->reply(202, acceptedReply(2));
    std::vector<std::string> entities{line("p", "r1", ",\"n\":1"), line("p", "r2")};
    auto outcome = client.batchInsert("t", entities);
    EXPECT_EQ(outcome.errorKind, 0);
    EXPECT_FALSE(outcome.result);

    ASSERT_EQ(transport->requestCount(), 1u);
    auto request = transport->request(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, std::string(kBase) + "$batch");
    const std::string batch = batchBoundaryOf(request);
    const std::string changeset = changesetBoundaryOf(request);
    EXPECT_TRUE(isBoundaryName(batch, "batch")) << batch;
    EXPECT_TRUE(isBoundaryName(changeset, "changeset")) << changeset;

    // Each operation is the platform's rendering of an insert-or-replace request.
    auto operation = [&](const std::string& rowKey, const std::string& body) {
        AzureTableRequest op = client.baseRequest("insert/replace");
        op.path += "t(PartitionKey='p',RowKey='" + rowKey + "') HTTP/1.1";
        op.body = body;
        op.headers["Accept"] = "application/json;odata=minimalmetadata";
        op.headers["Accept-Charset"] = "UTF-8";
        op.headers["Content-Type"] = "application/json";
        return op.toString();
    };
    const std::string expected =
        "--" + batch + "\nContent-Type: multipart/mixed; boundary=" + changeset + "\n\n" +
        "--" + changeset + "\nContent-Type: application/http\nContent-Transfer-Encoding: binary\n\n" +
        operation("r1", "{\"PartitionKey\":\"p\",\"RowKey\":\"r1\",\"n\":1}") +
        "--" + changeset + "\nContent-Type: application/http\nContent-Transfer-Encoding: binary\n\n" +
        operation("r2", "{\"PartitionKey\":\"p\",\"RowKey\":\"r2\"}") +
        "--" + changeset + "--\n--" + batch + "--\n";
    EXPECT_EQ(request.body, expected);
    EXPECT_NE(request.body.find("\nPUT " + std::string(kBase) + "t(PartitionKey='p',RowKey='r1') HTTP/1.1\n"),
              std::string::npos);
    EXPECT_NE(request.body.find("\nAccept-Charset: UTF-8\n"), std::string::npos);
    EXPECT_EQ(request.body.find('\r'), std::string::npos);

    EXPECT_EQ(messages("batchInsert"),
              (std::vector<std::string>{"Preparing request for batchInsert", "Payload: " + expected,
                                        "Items insert successful", "Returning success with no additional items"}));
}

// An empty batch is refused by the service, so an empty list must send nothing.
TEST_F(ClientTest, EmptyListSendsNothing) {
    EXPECT_FALSE(client.batchInsert("t", {}).result);
    EXPECT_EQ(transport->requestCount(), 0u);
}

TEST_F(ClientTest, OnePartitionGoesOutInHundreds) {
    std::vector<std::string> entities;
    for (int i = 0; i < 250; ++i) entities.push_back(line("p", std::to_string(i)));
    acceptEveryBatch(*transport);
    EXPECT_FALSE(client.batchInsert("t", entities).result);

    ASSERT_EQ(transport->requestCount(), 3u);
    std::set<std::string> boundaries;
    const size_t sizes[] = {100, 100, 50};
    for (size_t i = 0; i < 3; ++i) {
        auto request = transport->request(i);
        EXPECT_EQ(operationsIn(request), sizes[i]);
        boundaries.insert(batchBoundaryOf(request));
        boundaries.insert(changesetBoundaryOf(request));
    }
    EXPECT_EQ(boundaries.size(), 6u);
    EXPECT_NE(transport->request(2).body.find("RowKey='249') HTTP/1.1"), std::string::npos);
}

TEST_F(ClientTest, EveryChangeOfPartitionStartsABatch) {
    acceptEveryBatch(*transport);
    client.batchInsert("t", {line("A", "1"), line("A", "2"), line("B", "1"), line("A", "3")});
    ASSERT_EQ(transport->requestCount(), 3u);
    EXPECT_EQ(operationsIn(transport->request(0)), 2u);
    EXPECT_EQ(operationsIn(transport->request(1)), 1u);
    EXPECT_NE(transport->request(1).body.find("t(PartitionKey='B',RowKey='1')"), std::string::npos);
    EXPECT_NE(transport->request(2).body.find("t(PartitionKey='A',RowKey='3')"), std::string::npos);
}

TEST_F(ClientTest, AFailedBatchComesBackWhileTheOthersAreSent) {
    std::vector<std::string> entities;
    for (int i = 0; i < 250; ++i) entities.push_back(line("p", std::to_string(i)));
    transport->reply(202, acceptedReply(100));
    transport->reply(409, "{\"odata.error\":{\"code\":\"EntityAlreadyExists\"}}");
    transport->reply(202, acceptedReply(50));

    auto outcome = client.batchInsert("t", entities);
    EXPECT_EQ(outcome.errorKind, 0);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, std::vector<std::string>(entities.begin() + 100, entities.begin() + 200));
    EXPECT_EQ(transport->requestCount(), 3u);
}

// A 202 counts its operations as written only when it confirms each of them: a refused change
// set, a reply cut short, an empty one, or one with more responses than operations leaves the
// whole batch pending.
TEST_F(ClientTest, A202ThatDoesNotConfirmEveryOperationLeavesTheBatchPending) {
    std::vector<std::string> entities{line("a", "1"), line("a", "2"), line("a", "3")};
    const std::string full = acceptedReply(3);
    for (const std::string& body : {refusedChangesetReply(400, "Bad Request"), refusedChangesetReply(404, "Not Found"),
                                    full.substr(0, full.rfind("HTTP/1.1 204")), std::string(), acceptedReply(2),
                                    acceptedReply(4)}) {
        transport->reply(202, body);
        auto outcome = client.batchInsert("t", entities);
        ASSERT_TRUE(outcome.result) << body;
        EXPECT_EQ(*outcome.result, entities) << body;
    }
    transport->reply(202, full);
    EXPECT_FALSE(client.batchInsert("t", entities).result);
}

TEST_F(ClientTest, KeysAreQuotedAndEncodedInOperationPaths) {
    acceptEveryBatch(*transport);
    client.batchInsert("t", {line("it's", "50% off +&x=\xC3\xA9"), line("''", ""),
                             "{\"odata.etag\":\"e\",\"PartitionKey\":\"p\"}"});
    EXPECT_NE(transport->request(0).body.find(
                  "t(PartitionKey='it%27%27s',RowKey='50%25%20off%20%2B%26x%3D%C3%A9') HTTP/1.1\n"),
              std::string::npos)
        << transport->request(0).body;
    EXPECT_NE(transport->request(1).body.find("t(PartitionKey='%27%27%27%27',RowKey='') HTTP/1.1\n"),
              std::string::npos);
    EXPECT_NE(transport->request(2).body.find("t(PartitionKey='p',RowKey='') HTTP/1.1\n"), std::string::npos);
    // The keys inside the entity body stay as they are.
    EXPECT_NE(transport->request(0).body.find("\"PartitionKey\":\"it's\""), std::string::npos);
}

TEST_F(ClientTest, FloatingNumbersWithoutTypeGetADoubleAnnotation) {
    acceptEveryBatch(*transport);
    client.batchInsert("t", {line("p", "r",
                                  ",\"a\":2.0,\"b\":1e+300,\"c\":7,\"d\":\"2.5\",\"e\":2.5,\"e@odata.type\":\"Edm.Double\","
                                  "\"f\":\"9007199254740993\",\"f@odata.type\":\"Edm.Int64\",\"g\":-1E-5,"
                                  "\"h\":18446744073709551616,\"i\":[1.5],\"j\":\"NaN\",\"j@odata.type\":\"Edm.Double\"")});
    const std::string expected =
        "\n{\"PartitionKey\":\"p\",\"RowKey\":\"r\",\"a\":2.0,\"a@odata.type\":\"Edm.Double\","
        "\"b\":1e+300,\"b@odata.type\":\"Edm.Double\",\"c\":7,\"d\":\"2.5\",\"e\":2.5,\"e@odata.type\":\"Edm.Double\","
        "\"f\":\"9007199254740993\",\"f@odata.type\":\"Edm.Int64\",\"g\":-1E-5,\"g@odata.type\":\"Edm.Double\","
        "\"h\":18446744073709551616,\"i\":[1.5],\"j\":\"NaN\",\"j@odata.type\":\"Edm.Double\"}\n";
    EXPECT_NE(transport->request(0).body.find(expected), std::string::npos) << transport->request(0).body;
}

TEST_F(ClientTest, BatchesAreCutBeforeTheirBodyPassesFourMiB) {
    // Measure a two-operation body, then grow the second entity to reach the limit exactly.
    acceptEveryBatch(*transport);
    client.batchInsert("t", {line("p", "1"), line("p", "2", ",\"s\":\"\"")});
    const size_t measured = transport->request(0).body.size();
    const size_t fill = kFourMiB - measured;

    transport->clearRequests();
    client.batchInsert("t", {line("p", "1"), line("p", "2", ",\"s\":\"" + std::string(fill, 'x') + "\"")});
    ASSERT_EQ(transport->requestCount(), 1u);
    EXPECT_EQ(transport->request(0).body.size(), kFourMiB);

    transport->clearRequests();
    client.batchInsert("t", {line("p", "1"), line("p", "2", ",\"s\":\"" + std::string(fill + 1, 'x') + "\"")});
    ASSERT_EQ(transport->requestCount(), 2u);
    EXPECT_EQ(operationsIn(transport->request(0)), 1u);
    EXPECT_EQ(operationsIn(transport->request(1)), 1u);
}

TEST_F(ClientTest, AnOversizedEntityTravelsAloneAndComesBackPending) {
    const std::string huge = line("p", "huge", ",\"s\":\"" + std::string(kFourMiB + 10, 'x') + "\"");
    transport->reply(202, acceptedReply(1));
    transport->reply(413, "{\"odata.error\":{\"code\":\"RequestBodyTooLarge\"}}");
    transport->reply(202, acceptedReply(1));
    auto outcome = client.batchInsert("t", {line("p", "1"), huge, line("p", "2")});
    ASSERT_EQ(transport->requestCount(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(operationsIn(transport->request(i)), 1u);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, std::vector<std::string>{huge});
}

TEST_F(ClientTest, TextsThatAreNoEntityAreHandedBackWithoutStallingTheCall) {
    // Without an entity tag the stripped text loses its PartitionKey; garbage does not parse.
    const std::string untagged = "{\"PartitionKey\":\"p\",\"RowKey\":\"x\"}";
    const std::string garbage = "{\"odata.etag\":\"e\",\"PartitionKey\":\"p\",";
    acceptEveryBatch(*transport);
    auto outcome = client.batchInsert("t", {untagged, line("p", "1"), line("p", "2"), garbage, line("p", "3"), untagged});
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, (std::vector<std::string>{untagged, garbage, untagged}));
    ASSERT_EQ(transport->requestCount(), 2u);
    EXPECT_EQ(operationsIn(transport->request(0)), 2u);
    EXPECT_EQ(operationsIn(transport->request(1)), 1u);
}

TEST_F(ClientTest, InsertEntityPostsTheStrippedEntity) {
    transport->reply(201, "{}");
    transport->reply(204, "");
    const std::string entity = "{\"odata.etag\":\"e\",\"RowKey\":\"\xC3\xA9\xC3\xA9xxx\"}";
    EXPECT_EQ(client.insertEntity("t", entity), 0);
    auto request = transport->request(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, std::string(kBase) + "t");
    EXPECT_EQ(request.body, "{\"RowKey\":\"\xC3\xA9\xC3\xA9xxx\"}");
    EXPECT_EQ(request.headers["Content-Length"], "20");  // bytes, not characters
    EXPECT_EQ(client.insertEntity("t", entity), Failed);  // only 201 counts
}

TEST_F(ClientTest, InsertOrReplacePutsToTheEntityAddress) {
    transport->reply(204, "");
    transport->reply(201, "{}");
    transport->reply(404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}");
    const std::string entity = "{\"odata.etag\":\"e\", \"PartitionKey\":\"a b\",\"RowKey\":\"o'k\", \"d\": 2.0 ,\"n\":10}";
    EXPECT_EQ(client.insertOrReplaceEntity("t", entity), 0);
    auto request = transport->request(0);
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.url, std::string(kBase) + "t(PartitionKey='a%20b',RowKey='o%27%27k')");
    EXPECT_EQ(request.body,
              "{\"PartitionKey\":\"a b\",\"RowKey\":\"o'k\",\"d\":2.0,\"d@odata.type\":\"Edm.Double\",\"n\":10}");

    EXPECT_EQ(client.insertOrReplaceEntity("t", entity), Failed);  // only 204 counts
    EXPECT_EQ(client.insertOrReplaceEntity("t", entity), ResourceNotFound);
    EXPECT_EQ(client.insertOrReplaceEntity("t", "{\"odata.etag\":\"e\",broken"), Failed);
    EXPECT_EQ(transport->requestCount(), 3u);
}
