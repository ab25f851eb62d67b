#include <gtest/gtest.h>

#include "tests/support/FakeSleeper.h"
#include "tests/support/FakeTransport.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/http/RetryPolicy.h"

using namespace platform::http;
using testing_support::FakeSleeperScope;
using testing_support::FakeTransportScope;

namespace {

AzureTableRequest request(const std::string& path, bool emulator = false) {
    AzureTableRequest r;
    r.method = "GET";
    r.baseUrl = emulator ? "http://127.0.0.1:10002/devstoreaccount1/" : "https://acct.table.core.windows.net/";
    r.path = path;
    r.signing.accountName = emulator ? "devstoreaccount1" : "acct";
    r.signing.accessKey = "a2V5";
    r.signing.pathStyle = emulator;
    return r;
}

}  // namespace

TEST(RetryPolicy, RetryAfterInSecondsIsReadAndCapped) {
    unsigned long long ms = 0;
    EXPECT_TRUE(RetryPolicy::retryAfterMs({{"retry-after", "7"}}, ms));
    EXPECT_EQ(ms, 7000u);
    EXPECT_TRUE(RetryPolicy::retryAfterMs({{"retry-after", " 0 "}}, ms));
    EXPECT_EQ(ms, 0u);
    EXPECT_TRUE(RetryPolicy::retryAfterMs({{"retry-after", "99999999999999999999"}}, ms));
    EXPECT_EQ(ms, RetryPolicy::kMaxRetryAfterMs);
    EXPECT_FALSE(RetryPolicy::retryAfterMs({{"retry-after", "Wed, 21 Oct 2015 07:28:00 GMT"}}, ms));
    EXPECT_FALSE(RetryPolicy::retryAfterMs({{"retry-after", "5s"}}, ms));
    EXPECT_FALSE(RetryPolicy::retryAfterMs({}, ms));
}

TEST(RequestService, TransientFailuresAreRetriedUpToTheAttemptLimitWithCappedWaits) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    transport->setResponder([](const HttpExchange&) {
        HttpReply r;
        r.status = 503;
        r.body = "{\"odata.error\":{\"code\":\"ServerBusy\"}}";
        return r;
    });
    AzureTableRequestService service;
    auto r = request("Tables");
    AzureTableResponse response = service.executeRequest(r, 20, 1000);
    EXPECT_EQ(response.status, 503);
    EXPECT_NE(response.body.find("ServerBusy"), std::string::npos);
    EXPECT_EQ(transport->requestCount(), 20u);
    auto sleeps = sleeper->sleeps();
    ASSERT_EQ(sleeps.size(), 19u);  // none after the last attempt
    EXPECT_GT(sleeps.front(), 0u);
    EXPECT_LE(sleeps.front(), RetryPolicy::kInitialBackoffMs);
    // Long runs of failures wait about the cap each time, never more.
    for (size_t i = 10; i < sleeps.size(); ++i) {
        EXPECT_GE(sleeps[i], RetryPolicy::kMaxBackoffMs / 2) << i;
        EXPECT_LE(sleeps[i], RetryPolicy::kMaxBackoffMs) << i;
    }
}

TEST(RequestService, EachRetriableStatusIsRetriedAndTheFirstGoodReplyWins) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    transport->fail("Connection refused");
    transport->reply(408);
    transport->reply(429, "", {{"Retry-After", "3"}});
    transport->reply(500);
    transport->reply(503);
    transport->reply(200, "{\"value\":[]}");
    AzureTableRequestService service;
    auto r = request("Tables");
    AzureTableResponse response = service.executeRequest(r, 50, 1000);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(transport->requestCount(), 6u);
    ASSERT_EQ(sleeper->sleeps().size(), 5u);
    EXPECT_EQ(sleeper->sleeps()[2], 3000u);  // Retry-After honoured instead of the backoff
    // Every attempt carries its own signature and date.
    for (const auto& sent : transport->requests()) {
        EXPECT_EQ(sent.headers.count("Authorization"), 1u);
        EXPECT_EQ(sent.headers.count("x-ms-date"), 1u);
    }
}

TEST(RequestService, PermanentFailuresReturnAtOnce) {
    for (int status : {400, 401, 403, 404, 409, 412, 501, 502, 504}) {
        FakeTransportScope transport;
        FakeSleeperScope sleeper;
        transport->reply(status, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}");
        transport->reply(200, "{}");
        AzureTableRequestService service;
        auto r = request("Tables");
        AzureTableResponse response = service.executeRequest(r, 50, 1000);
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(transport->requestCount(), 1u) << status;
        EXPECT_TRUE(sleeper->sleeps().empty()) << status;
    }
}

// The emulator answers 500 to requests it cannot parse; only its 503 is worth another try.
TEST(RequestService, EmulatorServerErrorsAreFinalButBusyIsRetried) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    transport->reply(503);
    transport->reply(500);
    transport->reply(202);
    AzureTableRequestService service;
    auto r = request("$batch", true);
    r.method = "POST";
    EXPECT_EQ(service.executeRequest(r, 50, 1000).status, 500);
    EXPECT_EQ(transport->requestCount(), 2u);
}

TEST(RequestService, TransportFailureSaysWhatHappenedWithoutSecrets) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    transport->fail("Failed to connect to 127.0.0.1 port 1: Connection refused");
    transport->fail("Failed to connect to 127.0.0.1 port 1: Connection refused");
    AzureTableRequestService service;
    auto r = request("Tables");
    AzureTableResponse response = service.executeRequest(r, 2, 1000);
    EXPECT_EQ(response.status, 0);
    EXPECT_NE(response.body.find("\"code\":\"TransportError\""), std::string::npos) << response.body;
    EXPECT_NE(response.body.find("Connection refused"), std::string::npos) << response.body;
    EXPECT_NE(response.body.find("after 2 attempts"), std::string::npos) << response.body;
    EXPECT_EQ(response.body.find("SharedKey"), std::string::npos);
    EXPECT_EQ(response.body.find("a2V5"), std::string::npos);
    EXPECT_EQ(sleeper->sleeps().size(), 1u);
}

TEST(RequestService, UnreachableHostsAreTriedOnlyAFewTimesAndFinalFailuresOnce) {
    for (auto failure : {HttpReply::Failure::Unreachable, HttpReply::Failure::Final}) {
        FakeTransportScope transport;
        FakeSleeperScope sleeper;
        transport->setResponder([failure](const HttpExchange&) {
            HttpReply r;
            r.transportError = "Could not resolve host: nosuchaccount.table.core.windows.net";
            r.failure = failure;
            return r;
        });
        AzureTableRequestService service;
        auto r = request("Tables");
        AzureTableResponse response = service.executeRequest(r, 50, 1000);
        EXPECT_EQ(response.status, 0);
        EXPECT_NE(response.body.find("Could not resolve host"), std::string::npos);
        size_t expected = failure == HttpReply::Failure::Final ? 1 : RetryPolicy::kUnreachableAttempts;
        EXPECT_EQ(transport->requestCount(), expected);
        EXPECT_EQ(sleeper->sleeps().size(), expected - 1);
    }
}

TEST(RequestService, AnUnusableKeyFailsWithoutSendingAnything) {
    FakeTransportScope transport;
    auto r = request("Tables");
    r.signing.accessKey = "this is not base64";
    AzureTableRequestService service;
    AzureTableResponse response = service.executeRequest(r, 50, 1000);
    EXPECT_EQ(response.status, 0);
    EXPECT_NE(response.body.find("not valid base64"), std::string::npos);
    EXPECT_EQ(response.body.find("this is not base64"), std::string::npos);
    EXPECT_EQ(transport->requestCount(), 0u);
}

TEST(RequestService, ContentLengthAndQueryReachTheTransportAsGiven) {
    FakeTransportScope transport;
    transport->reply(201, "{}");
    auto r = request("Tables");
    r.method = "POST";
    r.path = "t()?NextPartitionKey=a%2Bb&NextRowKey=c%3D";
    r.query = "$filter=Timestamp%20le%20datetime'2023-11-14T22:13:20Z'";
    r.body = "{\"TableName\":\"t\"}";
    r.headers["Content-Type"] = "application/json";
    AzureTableRequestService service;
    service.executeRequest(r, 1, 1234);
    auto sent = transport->request(0);
    EXPECT_EQ(sent.url,
              "https://acct.table.core.windows.net/t()?NextPartitionKey=a%2Bb&NextRowKey=c%3D&"
              "$filter=Timestamp%20le%20datetime'2023-11-14T22:13:20Z'");
    EXPECT_EQ(sent.body, r.body);
    EXPECT_EQ(sent.timeoutMs, 1234u);
    EXPECT_EQ(sent.method, "POST");
}

TEST(ContinuationFolding, HeadersBecomeLeadingMembersOfTheBody) {
    AzureTableResponse response;
    response.status = 200;
    response.headers["x-ms-continuation-nextpartitionkey"] = "1!8!YQ--";
    response.headers["x-ms-continuation-nextrowkey"] = "a\"b";
    response.body = "{\"value\":[]}";
    foldContinuationIntoBody(response);
    EXPECT_EQ(response.body,
              "{\"x-ms-continuation-NextPartitionKey\":\"1!8!YQ--\",\"x-ms-continuation-NextRowKey\":\"a\\\"b\","
              "\"value\":[]}");

    AzureTableResponse empty;
    empty.headers["x-ms-continuation-nextpartitionkey"] = "p";
    empty.body = " { } ";
    foldContinuationIntoBody(empty);
    EXPECT_EQ(empty.body, " {\"x-ms-continuation-NextPartitionKey\":\"p\" } ");

    AzureTableResponse rowOnly;
    rowOnly.headers["x-ms-continuation-nextrowkey"] = "r";
    rowOnly.body = "{\"a\":1}";
    foldContinuationIntoBody(rowOnly);
    EXPECT_EQ(rowOnly.body, "{\"x-ms-continuation-NextRowKey\":\"r\",\"a\":1}");

    AzureTableResponse notJson;
    notJson.headers["x-ms-continuation-nextrowkey"] = "r";
    notJson.body = "[1]";
    foldContinuationIntoBody(notJson);
    EXPECT_EQ(notJson.body, "[1]");

    AzureTableResponse none;
    none.body = "{\"a\":1}";
    foldContinuationIntoBody(none);
    EXPECT_EQ(none.body, "{\"a\":1}");
}

TEST(ContinuationFolding, OnlySuccessfulRepliesAreFolded) {
    FakeTransportScope transport;
    transport->reply(200, "{\"value\":[]}", {{"x-ms-continuation-NextPartitionKey", "pk"}});
    transport->reply(404, "{\"odata.error\":{}}", {{"x-ms-continuation-NextPartitionKey", "pk"}});
    AzureTableRequestService service;
    auto r = request("t()");
    EXPECT_EQ(service.executeRequest(r, 1, 1000).body, "{\"x-ms-continuation-NextPartitionKey\":\"pk\",\"value\":[]}");
    EXPECT_EQ(service.executeRequest(r, 1, 1000).body, "{\"odata.error\":{}}");
}

TEST(EmulatorAdapter, RecognisesOnlyAPlainDescribe) {
    std::string name;
    EXPECT_TRUE(isDescribeTableRequest(request("Tables('t1')"), name));
    EXPECT_EQ(name, "t1");
    auto withQuery = request("Tables('t1')");
    withQuery.query = "$top=1";
    EXPECT_FALSE(isDescribeTableRequest(withQuery, name));
    auto deletion = request("Tables('t1')");
    deletion.method = "DELETE";
    EXPECT_FALSE(isDescribeTableRequest(deletion, name));
    EXPECT_FALSE(isDescribeTableRequest(request("Tables"), name));
    EXPECT_FALSE(isDescribeTableRequest(request("Tables('')"), name));
    EXPECT_FALSE(isDescribeTableRequest(request("t1()"), name));
    EXPECT_FALSE(isDescribeTableRequest(request("Tables('t1')/x"), name));

    AzureTableRequest query = describeAsTableQuery(request("Tables('t1')", true), "o'k");
    EXPECT_EQ(query.path, "Tables");
    EXPECT_EQ(query.query, "$filter=TableName%20eq%20'o%27%27k'");
}

TEST(EmulatorAdapter, DescribeIsSentAsAFilteredQueryAndAnsweredLikeTheServiceOnlyOnTheEmulator) {
    FakeTransportScope transport;
    transport->reply(200,
                     "{\"odata.metadata\":\"http://127.0.0.1:10002/devstoreaccount1/$metadata#Tables\","
                     "\"value\":[{\"TableName\":\"t1\"}]}",
                     {{"x-ms-request-id", "r1"}});
    transport->reply(200, "{\"odata.metadata\":\"m\",\"value\":[]}", {{"x-ms-request-id", "r2"}});
    transport->reply(200, "{\"value\":[{\"TableName\":\"other\"}]}", {{"x-ms-request-id", "r3"}});
    transport->reply(403, "<Error>AuthorizationFailure</Error>");
    transport->reply(200, "{\"TableName\":\"t1\"}");
    AzureTableRequestService service;

    auto describe = request("Tables('t1')", true);
    AzureTableResponse found = service.executeRequest(describe, 1, 1000);
    EXPECT_EQ(transport->request(0).url,
              "http://127.0.0.1:10002/devstoreaccount1/Tables?$filter=TableName%20eq%20't1'");
    EXPECT_EQ(transport->request(0).method, "GET");
    EXPECT_EQ(found.status, 200);
    EXPECT_EQ(found.body,
              "{\"odata.metadata\":\"http://127.0.0.1:10002/devstoreaccount1/$metadata#Tables/@Element\","
              "\"TableName\":\"t1\"}");

    AzureTableResponse missing = service.executeRequest(describe, 1, 1000);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.headers["x-ms-error-code"], "ResourceNotFound");
    EXPECT_EQ(missing.body.rfind("{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"lang\":\"en-US\","
                                 "\"value\":\"The specified resource does not exist.\\nRequestId:r3\\nTime:",
                                 0),
              0u)
        << missing.body;

    AzureTableResponse refused = service.executeRequest(describe, 1, 1000);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body, "<Error>AuthorizationFailure</Error>");

    // A service account gets the describe as it was asked.
    auto serviceDescribe = request("Tables('t1')", false);
    EXPECT_EQ(service.executeRequest(serviceDescribe, 1, 1000).body, "{\"TableName\":\"t1\"}");
    EXPECT_EQ(transport->requests().back().url, "https://acct.table.core.windows.net/Tables('t1')");
}

TEST(EmulatorAdapter, ReplyWithoutTheTableOrNotJsonIsHandled) {
    AzureTableResponse other;
    other.status = 200;
    other.body = "{\"value\":[{\"TableName\":\"t10\"}]}";
    EXPECT_EQ(describeReplyFromTableQuery(other, "t1").status, 404);
    other.body = "{\"value\":[{\"TableName\":\"t1\",\"odata.editLink\":\"Tables('t1')\"}]}";
    EXPECT_EQ(describeReplyFromTableQuery(other, "t1").body, "{\"TableName\":\"t1\",\"odata.editLink\":\"Tables('t1')\"}");
    other.body = "garbage";
    EXPECT_EQ(describeReplyFromTableQuery(other, "t1").body, "garbage");
}

TEST(EmulatorAdapter, ADescribeTheFilterMissesIsLookedUpInTheListingWithoutRegardToCase) {
    FakeTransportScope transport;
    transport->reply(200, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables\",\"value\":[]}");
    transport->reply(200, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables\",\"value\":[{\"TableName\":\"a\"}]}",
                     {{"x-ms-continuation-NextTableName", "b+c"}});
    transport->reply(200, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables\",\"value\":[{\"TableName\":\"CaseTbl\"}]}");
    AzureTableRequestService service;
    auto describe = request("Tables('casetbl')", true);
    AzureTableResponse found = service.executeRequest(describe, 1, 1000);
    EXPECT_EQ(found.status, 200);
    EXPECT_EQ(found.body, "{\"odata.metadata\":\"http://e/devstoreaccount1/$metadata#Tables/@Element\",\"TableName\":\"CaseTbl\"}");
    ASSERT_EQ(transport->requestCount(), 3u);
    EXPECT_EQ(transport->request(1).url, "http://127.0.0.1:10002/devstoreaccount1/Tables");
    EXPECT_EQ(transport->request(2).url, "http://127.0.0.1:10002/devstoreaccount1/Tables?NextTableName=b%2Bc");

    // A listing that keeps handing back the same token ends as "not found".
    transport->clearRequests();
    transport->reply(200, "{\"value\":[]}");
    transport->setResponder([](const HttpExchange&) {
        HttpReply r;
        r.status = 200;
        r.body = "{\"value\":[]}";
        r.headers["x-ms-continuation-nexttablename"] = "same";
        return r;
    });
    EXPECT_EQ(service.executeRequest(describe, 1, 1000).status, 404);
    EXPECT_EQ(transport->requestCount(), 3u);
}
