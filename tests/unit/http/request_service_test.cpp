#include <gtest/gtest.h>

#include "tests/support/FakeSleeper.h"
#include "tests/support/FakeTransport.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/http/RetryPolicy.h"
#include "platform/log/DebugLog.h"

using namespace platform::http;
using testing_support::FakeSleeperScope;
using testing_support::FakeTransportScope;
using testing_support::StopTokenScope;

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

// A request that asks for JSON, as the client's requests do.
AzureTableRequest jsonRequest(const std::string& path, bool emulator = false) {
    AzureTableRequest r = request(path, emulator);
    r.headers["Accept"] = "application/json;odata=minimalmetadata";
    return r;
}

HttpReply replyOf(int status, const std::string& body = "") {
    HttpReply r;
    r.status = status;
    r.body = body;
    return r;
}

}  // namespace

TEST(RetryPolicy, RetryAfterInSecondsIsReadAndCapped) {
    const std::pair<const char*, long long> cases[] = {{"7", 7000}, {" 0 ", 0},
        {"99999999999999999999", RetryPolicy::kMaxRetryAfterMs}, {"Wed, 21 Oct 2015 07:28:00 GMT", -1}, {"5s", -1}};
    for (const auto& c : cases) {
        unsigned long long ms = 0;
        EXPECT_EQ(RetryPolicy::retryAfterMs({{"retry-after", c.first}}, ms), c.second >= 0) << c.first;
        if (c.second >= 0) {
            EXPECT_EQ(ms, static_cast<unsigned long long>(c.second)) << c.first;
        }
    }
}

TEST(RequestService, TransientFailuresAreRetriedUpToTheAttemptLimitWithCappedWaits) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    setRequestDeadlineMs(0);  // only the attempt limit
    struct Restore {
        ~Restore() { setRequestDeadlineMs(kDefaultRequestDeadlineMs); }
    } restore;
    transport->setResponder([](const HttpExchange&) { return replyOf(503); });
    AzureTableRequestService service;
    auto r = request("Tables");
    EXPECT_EQ(service.executeRequest(r, 20, 1000).status, 503);
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

// The emulator answers 500 to requests it cannot parse; only its 503 is worth another try.
TEST(RequestService, EmulatorServerErrorsAreFinalButBusyIsRetried) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    transport->reply(503);
    transport->reply(500);
    // A 500 with an error body (its own time-out) is a passing fault, as on the service.
    transport->reply(500, "{\"odata.error\":{\"code\":\"OperationTimedOut\"}}");
    transport->reply(500, " \r\n");
    AzureTableRequestService service;
    auto r = request("$batch", true);
    r.method = "POST";
    EXPECT_EQ(service.executeRequest(r, 50, 1000).status, 500);
    EXPECT_EQ(service.executeRequest(r, 50, 1000).status, 500);
    EXPECT_EQ(transport->requestCount(), 4u);
}

// A success status whose body is not the JSON object asked for is a reply cut short: retried,
// and never handed on as a success.
TEST(RequestService, SuccessRepliesThatAreNotJsonAreRetriedThenFail) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    AzureTableRequestService service;
    auto r = jsonRequest("Tables");
    transport->reply(200, "{\"value\":[{\"TableName\":\"t");
    transport->reply(200, "{\"value\":[]}");
    AzureTableResponse good = service.executeRequest(r, 50, 1000);
    EXPECT_EQ(good.status, 200);
    EXPECT_EQ(good.attempts, 2u);
    EXPECT_TRUE(good.earlierAttemptMayHaveLanded);

    for (const char* body : {"", "<html>", "{\"a\":1} {", "[1]"}) {
        transport->clearRequests();
        transport->setResponder([body](const HttpExchange&) { return replyOf(200, body); });
        AzureTableResponse bad = service.executeRequest(r, 3, 1000);
        EXPECT_EQ(bad.status, 0) << body;
        EXPECT_EQ(bad.failureCode, "InvalidReply");
        EXPECT_NE(bad.failureMessage.find("not valid JSON"), std::string::npos) << bad.failureMessage;
        EXPECT_EQ(bad.body, "");
        EXPECT_EQ(transport->requestCount(), 3u) << body;
    }
    // Replies without a JSON body of their own are not concerned.
    transport->clearRequests();
    transport->setResponder(nullptr);
    transport->reply(204);
    transport->reply(202, "--batchresponse\r\n");
    EXPECT_EQ(service.executeRequest(r, 3, 1000).status, 204);
    auto batch = request("$batch");
    batch.method = "POST";
    EXPECT_EQ(service.executeRequest(batch, 3, 1000).status, 202);
    EXPECT_EQ(transport->requestCount(), 2u);
}

// Connection failures and 408/429/500/503 are retried (Retry-After honoured), every attempt signed
// afresh; any other status ends the request at once. The reply counts its attempts and says
// whether an earlier one may have been carried out.
TEST(RequestService, RetriesOnlyTransientFailuresAndSaysWhetherAnEarlierAttemptMayHaveLanded) {
    using F = HttpReply::Failure;
    struct Case {
        std::vector<int> before;  // -1: dropped connection, -2: refused connection, else a status
        int final;
        bool mayHaveLanded;
    } cases[] = {
        {{}, 409, false}, {{-1}, 409, true}, {{-2}, 409, false}, {{408}, 409, true}, {{429}, 409, false},
        {{500}, 409, true}, {{503}, 409, true}, {{-2, 429}, 409, false}, {{429, -1}, 409, true},
        {{-1, 408, 429, 500, 503}, 200, true},
        {{}, 400, false}, {{}, 401, false}, {{}, 403, false}, {{}, 404, false}, {{}, 412, false},
        {{}, 501, false}, {{}, 502, false}, {{}, 504, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.before.size() << " before " << c.final);
        FakeTransportScope transport;
        FakeSleeperScope sleeper;
        for (int step : c.before) {
            if (step < 0)
                transport->fail("Recv failure", step == -1 ? F::Transient : F::Unreachable);
            else
                transport->reply(step, "{\"odata.error\":{}}", {{"Retry-After", step == 429 ? "3" : "x"}});
        }
        transport->reply(c.final, "{\"odata.error\":{\"code\":\"TableAlreadyExists\"}}");
        transport->reply(200, "{}");
        AzureTableRequestService service;
        auto r = jsonRequest("Tables");
        AzureTableResponse response = service.executeRequest(r, 50, 1000);
        EXPECT_EQ(response.status, c.final);
        EXPECT_EQ(response.attempts, c.before.size() + 1);
        EXPECT_EQ(response.earlierAttemptMayHaveLanded, c.mayHaveLanded);
        EXPECT_EQ(transport->requestCount(), c.before.size() + 1);
        auto sleeps = sleeper->sleeps();
        ASSERT_EQ(sleeps.size(), c.before.size());
        for (size_t i = 0; i < sleeps.size(); ++i)
            if (c.before[i] == 429) { EXPECT_EQ(sleeps[i], 3000u); }
        for (const auto& sent : transport->requests()) {
            EXPECT_EQ(sent.headers.count("Authorization"), 1u);
            EXPECT_EQ(sent.headers.count("x-ms-date"), 1u);
        }
    }
}

TEST(RequestService, NothingMoreIsSentOnceAStopIsRequested) {
    FakeTransportScope transport;
    FakeSleeperScope sleeper;
    StopTokenScope stop;
    transport->setResponder([](const HttpExchange&) { return replyOf(503); });
    sleeper->onSleep([&](size_t count) {
        if (count == 2) stop.requestStop();
    });
    AzureTableRequestService service;
    auto r = jsonRequest("Tables");
    AzureTableResponse response = service.executeRequest(r, 50, 1000);
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(response.failureCode, "OperationCancelled");
    EXPECT_NE(response.failureMessage.find("stopped on request"), std::string::npos) << response.failureMessage;
    EXPECT_EQ(transport->requestCount(), 2u);

    // A stop before the request: nothing is sent at all.
    response = service.executeRequest(r, 50, 1000);
    EXPECT_NE(response.failureMessage.find("before it was sent"), std::string::npos) << response.failureMessage;
    EXPECT_EQ(transport->requestCount(), 2u);
}

// The deadline spans the request and its retries: every attempt's time-out is cut to what is
// left, no wait runs past it, and the reply says in words what was waited for.
TEST(RequestService, ARequestGivesUpAtItsDeadlineAndSaysWhatItWaitedFor) {
    struct Case {
        unsigned long long deadlineMs;
        unsigned int timeoutMs;
        size_t attempts;
        const char* within;
    } cases[] = {
        {kDefaultRequestDeadlineMs, 60000, 3, "within 180 s (3 attempts; last: Operation timed out after"},
        {1500, 60000, 1, "within 1.5 s (1 attempt; last: Operation timed out after 1500 milliseconds)"},
        {2000, 1000, 2, "within 2 s (2 attempts;"},
    };
    for (const auto& c : cases) {
        FakeTransportScope transport;
        FakeSleeperScope sleeper;
        platform::http::setRequestDeadlineMs(c.deadlineMs);
        auto& clock = *sleeper;
        transport->setResponder([&clock](const HttpExchange& e) {
            clock.advanceMs(e.timeoutMs);  // the endpoint takes the connection and never answers
            HttpReply r;
            r.transportError = "Operation timed out after " + std::to_string(e.timeoutMs) + " milliseconds";
            return r;
        });
        AzureTableRequestService service;
        auto r = request("Tables");
        r.baseUrl = "http://127.0.0.1:10002/devstoreaccount1/";
        const unsigned long long started = clock.nowMs();
        AzureTableResponse response = service.executeRequest(r, 50, c.timeoutMs);
        platform::http::setRequestDeadlineMs(kDefaultRequestDeadlineMs);

        EXPECT_EQ(response.status, 0);
        EXPECT_NE(response.failureMessage.find("no reply from 127.0.0.1:10002 to GET http://127.0.0.1:10002/devstoreaccount1/Tables " +
                                               std::string(c.within)),
                  std::string::npos)
            << response.failureMessage;
        EXPECT_EQ(transport->requestCount(), c.attempts);
        EXPECT_LE(clock.nowMs() - started, c.deadlineMs);
        EXPECT_LT(transport->requests().back().timeoutMs, c.timeoutMs);  // cut to the time left
    }
}

TEST(HttpDate, ReadsRfc1123DatesOnly) {
    struct Case {
        const char* text;
        long long seconds;  // -1: refused
    } cases[] = {
        {"Sun, 06 Dec 2026 11:11:21 GMT", 1796555481}, {"Tue, 29 Feb 2028 23:59:59 GMT", 1835481599},
        {"Sun, 06 Dec 2026 11:11:21 UTC", -1}, {"Sunday, 06-Dec-26 11:11:21 GMT", -1},
        {"Sun, 06 Dec 2026 25:11:21 GMT", -1}, {"Sun, 06 Dec 2026 11:11:21 GMT trailing", -1},
    };
    for (const auto& c : cases) {
        long long seconds = -1;
        EXPECT_EQ(parseHttpDate(c.text, seconds), c.seconds >= 0) << c.text;
        EXPECT_EQ(seconds, c.seconds) << c.text;
    }
}

// The service quotes a refused signature back; it must not reach a log line or a message.
TEST(Redaction, ARefusedSignatureQuotedByTheServiceIsMasked) {
    const std::string signature = "Xq3vT0pS1gN+aTuRe/VaLuE2Vc4Qm5bJ0Lp9wY8zK1E=";
    const std::string detail = "The MAC signature found in the HTTP request '" + signature +
                               "' is not the same as any computed signature. Server used following string to sign: "
                               "'GET\n\n\nSun, 06 Dec 2026 11:11:21 GMT\n/acct/Tables'.";
    const std::string bodies[] = {
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>AuthenticationFailed</Code><Message>Server failed"
        "</Message><AuthenticationErrorDetail>" + detail + "</AuthenticationErrorDetail></Error>",
        "{\"odata.error\":{\"code\":\"AuthenticationFailed\",\"message\":{\"lang\":\"en-US\",\"value\":\"" + detail +
            "\"}}}",
        "<AuthenticationErrorDetail>The MAC signature found in the HTTP request &apos;" + signature +
            "&apos; is not the same</AuthenticationErrorDetail>",
        "Authorization: SharedKey acct:" + signature,
    };
    for (const auto& body : bodies) {
        std::string shown = platform::log::redact(body);
        EXPECT_EQ(shown.find("Xq3vT0pS1gN"), std::string::npos) << shown;
        EXPECT_NE(shown.find("***"), std::string::npos) << shown;
    }
    EXPECT_NE(platform::log::redact(bodies[0]).find("Server used following string to sign"), std::string::npos);
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
    EXPECT_EQ(response.failureCode, "TransportError");
    EXPECT_NE(response.failureMessage.find("Connection refused"), std::string::npos) << response.failureMessage;
    EXPECT_NE(response.failureMessage.find("after 2 attempts"), std::string::npos) << response.failureMessage;
    EXPECT_EQ(response.failureMessage.find("SharedKey"), std::string::npos);
    EXPECT_EQ(response.failureMessage.find("a2V5"), std::string::npos);
    EXPECT_EQ(response.body, "");
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
        EXPECT_NE(response.failureMessage.find("Could not resolve host"), std::string::npos);
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
    EXPECT_EQ(response.failureCode, "InvalidAccessKey");
    EXPECT_NE(response.failureMessage.find("not valid base64"), std::string::npos);
    EXPECT_EQ(response.failureMessage.find("this is not base64"), std::string::npos);
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
