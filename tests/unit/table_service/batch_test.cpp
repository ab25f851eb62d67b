#include <regex>
#include <set>

#include "ClientFixture.h"

using namespace table_service_test;
using platform::http::HttpExchange;

namespace {

const size_t kFourMiB = 4 * 1024 * 1024;

// A line as a backup writes it: the entity tag first.
std::string line(const std::string& partitionKey, const std::string& rowKey, const std::string& rest = "") {
    return "{\"odata.etag\":\"W/\\\"datetime'2024-01-01T00%3A00%3A00.1Z'\\\"\",\"PartitionKey\":\"" + partitionKey +
           "\",\"RowKey\":\"" + rowKey + "\"" + rest + "}";
}

size_t operationsIn(const HttpExchange& request) {
    size_t n = 0;
    for (size_t at = 0; (at = request.body.find(" HTTP/1.1\n", at)) != std::string::npos; ++at) ++n;
    return n;
}

// The batch boundary (named in the Content-Type, opening the body) and the change set boundary,
// each its prefix, "_" and a lower-case UUID.
std::pair<std::string, std::string> boundariesOf(const HttpExchange& request) {
    const std::string uuid = "_[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";
    const std::string text = request.headers.at("Content-Type") + "|" + request.body.substr(0, 200);
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m, std::regex("^multipart/mixed; boundary=(batch" + uuid + ")\\|--\\1\n"
                                                      "Content-Type: multipart/mixed; boundary=(changeset" + uuid + ")\n")))
        << text;
    return {m[1], m[2]};
}

// A batch reply as the emulator sends it, one response per status.
std::string batchReply(const std::vector<int>& statuses) {
    std::string body = "--batchresponse_1\r\nContent-Type: multipart/mixed; boundary=changesetresponse_2\r\n\r\n";
    for (int status : statuses)
        body += "--changesetresponse_2\r\nContent-Type: application/http\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
                std::string(status == 204 ? "HTTP/1.1 204 No Content\r\nETag: W/\"x\"\r\n\r\n\r\n"
                                          : "HTTP/1.1 400 Bad Request\r\n\r\n{\"odata.error\":{\"code\":\"InvalidInput\"}}\r\n");
    return body + "--changesetresponse_2--\r\n--batchresponse_1--\r\n";
}

// Every batch without a queued reply is answered with a 202 confirming each of its operations.
class BatchTest : public ClientTest {
protected:
    void SetUp() override {
        transport->setResponder([](const HttpExchange& request) {
            return testing_support::httpReply(202, batchReply(std::vector<int>(operationsIn(request), 204)));
        });
    }
};

}  // namespace

TEST_F(BatchTest, BatchBodyByteForByte) {
    auto outcome = client.batchInsert("t", {line("p", "r1", ",\"n\":1,\"d\":2.0"), line("p", "r2")});
    EXPECT_EQ(outcome.errorKind, 0);
    EXPECT_FALSE(outcome.result);
    auto request = transport->request(0);
    EXPECT_EQ(request.method + " " + request.url, "POST " + kBase + "$batch");
    const auto boundaries = boundariesOf(request);
    const std::string &batch = boundaries.first, &changeset = boundaries.second;
    // Each operation: its request line and the three headers the service reads from it (the
    // reply format, the body's type, the protocol version), as the service's examples show them.
    auto operation = [&](const std::string& rowKey, const std::string& body) {
        return "PUT " + kBase + "t(PartitionKey='p',RowKey='" + rowKey +
               "') HTTP/1.1\nAccept: application/json;odata=minimalmetadata\nContent-Type: application/json\n"
               "DataServiceVersion: 3.0;NetFx\n\n" + body + "\n";
    };
    const std::string part = "--" + changeset + "\nContent-Type: application/http\nContent-Transfer-Encoding: binary\n\n";
    const std::string expected =
        "--" + batch + "\nContent-Type: multipart/mixed; boundary=" + changeset + "\n\n" + part +
        operation("r1", "{\"PartitionKey\":\"p\",\"RowKey\":\"r1\",\"n\":1,\"d\":2.0,\"d@odata.type\":\"Edm.Double\"}") + part +
        operation("r2", "{\"PartitionKey\":\"p\",\"RowKey\":\"r2\"}") + "--" + changeset + "--\n--" + batch + "--\n";
    EXPECT_EQ(request.body, expected);
    EXPECT_NE(request.body.find("\nPUT " + kBase + "t(PartitionKey='p',RowKey='r1') HTTP/1.1\n"), std::string::npos);
    EXPECT_EQ(request.body.find('\r'), std::string::npos);
    EXPECT_EQ(messages("batchInsert"),
              (std::vector<std::string>{"Preparing request for batchInsert", "Payload: " + expected, "Items insert successful",
                                        "Returning success with no additional items"}));

    // The service refuses an empty batch, so an empty list sends nothing.
    EXPECT_FALSE(client.batchInsert("t", {}).result);
    EXPECT_EQ(transport->requestCount(), 1u);
}

TEST_F(BatchTest, BatchesHoldAHundredOperationsOfOnePartitionWithFreshBoundaries) {
    std::vector<std::string> entities;
    for (int i = 0; i < 250; ++i) entities.push_back(line("p", std::to_string(i)));
    for (const char* key : {"A1", "A2", "B1", "A3"}) entities.push_back(line(std::string(1, key[0]), key + 1));
    EXPECT_FALSE(client.batchInsert("t", entities).result);
    const size_t sizes[] = {100, 100, 50, 2, 1, 1};
    ASSERT_EQ(transport->requestCount(), 6u);
    std::set<std::string> boundaries;
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(operationsIn(transport->request(i)), sizes[i]) << i;
        const auto both = boundariesOf(transport->request(i));
        boundaries.insert({both.first, both.second});
    }
    EXPECT_EQ(boundaries.size(), 12u);
    EXPECT_NE(transport->request(2).body.find("RowKey='249') HTTP/1.1"), std::string::npos);
    EXPECT_NE(transport->request(4).body.find("t(PartitionKey='B',RowKey='1')"), std::string::npos);
}

// A 202 counts its operations as written only when it confirms each of them: a refused change
// set, a reply cut short, an empty one, or one with more or fewer responses than operations
// leaves the whole batch pending. So does any other status while the other batches are sent.
TEST_F(BatchTest, ABatchNotConfirmedComesBackPending) {
    std::vector<std::string> entities{line("a", "1"), line("a", "2"), line("a", "3")};
    const std::string full = batchReply({204, 204, 204});
    for (const std::string& body : {batchReply({400}), full.substr(0, full.rfind("HTTP/1.1 204")), std::string(),
                                    batchReply({204, 204}), batchReply({204, 204, 204, 204})}) {
        transport->reply(202, body);
        auto outcome = client.batchInsert("t", entities);
        ASSERT_TRUE(outcome.result) << body;
        EXPECT_EQ(*outcome.result, entities) << body;
    }
    EXPECT_FALSE(client.batchInsert("t", entities).result);  // the responder confirms all three

    // An entity too large for any batch travels alone; its refusal brings back that entity alone.
    const std::string huge = line("p", "huge", ",\"s\":\"" + std::string(kFourMiB + 10, 'x') + "\"");
    transport->clearRequests();
    transport->reply(202, batchReply({204}));
    transport->reply(413, errorBody("RequestBodyTooLarge"));
    auto outcome = client.batchInsert("t", {line("p", "1"), huge, line("p", "2")});
    ASSERT_EQ(transport->requestCount(), 3u);
    EXPECT_EQ(operationsIn(transport->request(1)), 1u);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, std::vector<std::string>{huge});

    // In place, the written lines stay as they were and the refused ones leave an empty line.
    transport->reply(202, batchReply({204}));
    transport->reply(413, errorBody("RequestBodyTooLarge"));
    std::vector<std::string> lines{line("p", "1"), huge, line("p", "2")};
    outcome = client.batchInsertInPlace("t", lines);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, std::vector<std::string>{huge});
    EXPECT_EQ(lines, (std::vector<std::string>{line("p", "1"), "", line("p", "2")}));
}

TEST_F(BatchTest, BatchesAreCutBeforeTheirBodyPassesFourMiB) {
    // Measure a two-operation body, then grow the second entity to reach the limit exactly.
    auto send = [&](size_t fill) {
        transport->clearRequests();
        client.batchInsert("t", {line("p", "1"), line("p", "2", ",\"s\":\"" + std::string(fill, 'x') + "\"")});
        return transport->requests();
    };
    const size_t fill = kFourMiB - send(0)[0].body.size();
    auto exact = send(fill);
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(exact[0].body.size(), kFourMiB);
    EXPECT_EQ(send(fill + 1).size(), 2u);
}

// Keys are quoted and percent-encoded in the operation path, kept as they are in the body. Texts
// that are no entity (untagged: the stripped text loses its PartitionKey; garbage) come back
// without stalling the call.
TEST_F(BatchTest, KeysAreEncodedInPathsAndTextsThatAreNoEntityComeBack) {
    const std::string untagged = "{\"PartitionKey\":\"p\",\"RowKey\":\"x\"}";
    const std::string garbage = "{\"odata.etag\":\"e\",\"PartitionKey\":\"p\",";
    auto outcome = client.batchInsert("t", {untagged, line("it's", "50% off +&x=\xC3\xA9"), garbage, line("''", ""),
                                            "{\"odata.etag\":\"e\",\"PartitionKey\":\"p\"}", untagged});
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, (std::vector<std::string>{untagged, garbage, untagged}));
    ASSERT_EQ(transport->requestCount(), 3u);
    const std::string body = transport->request(0).body;
    EXPECT_EQ(operationsIn(transport->request(0)), 1u);
    EXPECT_NE(body.find("t(PartitionKey='it%27%27s',RowKey='50%25%20off%20%2B%26x%3D%C3%A9') HTTP/1.1\n"), std::string::npos);
    EXPECT_NE(body.find("\"PartitionKey\":\"it's\""), std::string::npos);
    EXPECT_NE(transport->request(1).body.find("t(PartitionKey='%27%27%27%27',RowKey='') HTTP/1.1\n"), std::string::npos);
    EXPECT_NE(transport->request(2).body.find("t(PartitionKey='p',RowKey='') HTTP/1.1\n"), std::string::npos);
}
