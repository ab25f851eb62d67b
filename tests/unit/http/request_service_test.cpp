#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/http/AzureTableRequestService.h"
#include "platform/http/RetryPolicy.h"
#include "platform/log/DebugLog.h"
#include "tests/support/FakeSleeper.h"
#include "tests/support/FakeTransport.h"

using namespace platform::http;
using F = HttpReply::Failure;

namespace {

// A scripted transport and a recording sleeper (installed first, so the service uses them), the
// request deadline for their lifetime, and a request that asks for JSON.
struct Service {
    testing_support::FakeTransportScope transport;
    testing_support::FakeSleeperScope sleeper;
    AzureTableRequestService service;
    AzureTableRequest request;
    explicit Service(bool emulator = false, unsigned long long deadlineMs = kDefaultRequestDeadlineMs) {
        setRequestDeadlineMs(deadlineMs);
        request.method = "GET";
        request.baseUrl = emulator ? "http://127.0.0.1:10002/devstoreaccount1/" : "https://acct.table.core.windows.net/";
        request.path = "Tables";
        request.signing = {emulator ? "devstoreaccount1" : "acct", "a2V5", emulator};
        request.headers["Accept"] = "application/json;odata=minimalmetadata";
    }
    ~Service() { setRequestDeadlineMs(kDefaultRequestDeadlineMs); }
    AzureTableResponse send(unsigned int attempts = 50, unsigned int timeoutMs = 1000) {
        return service.executeRequest(request, attempts, timeoutMs);
    }
    void replies(int status, const std::string& body = "", size_t count = 50) {
        for (size_t i = 0; i < count; ++i) transport->reply(status, body);
    }
};

}  // namespace

// -1: refused. Retry-After counts in seconds only; dates are RFC 1123 alone.
TEST(HeaderValues, RetryAfterSecondsAreCappedAndHttpDatesAreStrict) {
    const std::pair<const char*, long long> waits[] = {{"7", 7000}, {" 0 ", 0},
        {"99999999999999999999", RetryPolicy::kMaxRetryAfterMs}, {"Wed, 21 Oct 2015 07:28:00 GMT", -1}, {"5s", -1}};
    for (const auto& c : waits) {
        unsigned long long ms = 0;
        EXPECT_EQ(RetryPolicy::retryAfterMs({{"retry-after", c.first}}, ms) ? static_cast<long long>(ms) : -1, c.second) << c.first;
    }
    const std::pair<const char*, long long> dates[] = {{"Tue, 29 Feb 2028 23:59:59 GMT", 1835481599},
        {"Sun, 06 Dec 2026 11:11:21 UTC", -1}, {"Sunday, 06-Dec-26 11:11:21 GMT", -1},
        {"Sun, 06 Dec 2026 25:11:21 GMT", -1}, {"Sun, 06 Dec 2026 11:11:21 GMT trailing", -1}};
    for (const auto& c : dates) {
        long long seconds = -1;
        EXPECT_EQ(parseHttpDate(c.first, seconds) ? seconds : -1, c.second) << c.first;
    }
}

TEST(RequestService, TransientFailuresAreRetriedUpToTheAttemptLimitWithCappedWaits) {
    Service s(false, 0);  // no deadline: only the attempt limit
    s.replies(503);
    EXPECT_EQ(s.send(20).status, 503);
    EXPECT_EQ(s.transport->requestCount(), 20u);
    auto sleeps = s.sleeper->sleeps();
    ASSERT_EQ(sleeps.size(), 19u);  // none after the last attempt
    EXPECT_TRUE(sleeps.front() > 0 && sleeps.front() <= RetryPolicy::kInitialBackoffMs) << sleeps.front();
    // Long runs of failures wait about the cap each time, never more.
    for (size_t i = 10; i < sleeps.size(); ++i)
        EXPECT_TRUE(sleeps[i] >= RetryPolicy::kMaxBackoffMs / 2 && sleeps[i] <= RetryPolicy::kMaxBackoffMs) << sleeps[i];
}

// Connection failures and 408/429/500/503 are retried (Retry-After honoured), every attempt signed
// afresh; any other status ends the request at once, and so does the emulator's 500 without a
// body (its answer to a request it cannot parse). The reply counts its attempts and says whether
// an earlier one may have been carried out.
TEST(RequestService, RetriesOnlyTransientFailuresAndSaysWhetherAnEarlierAttemptMayHaveLanded) {
    // Before the final status: -1 a dropped connection, -2 a refused one, else a status.
    struct Case { std::vector<int> before; int final; bool mayHaveLanded; bool emulator = false; } cases[] = {
        {{}, 409, false}, {{-1}, 409, true}, {{-2}, 409, false}, {{408}, 409, true}, {{429}, 409, false},
        {{500}, 409, true}, {{503}, 409, true}, {{-2, 429}, 409, false}, {{429, -1}, 409, true},
        {{-1, 408, 429, 500, 503}, 200, true}, {{}, 400, false}, {{}, 401, false}, {{}, 403, false},
        {{}, 404, false}, {{}, 412, false}, {{}, 501, false}, {{}, 502, false}, {{}, 504, false},
        {{503, 500}, 500, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.before.size() << " before " << c.final);
        Service s(c.emulator);
        for (int step : c.before) {
            if (step < 0) s.transport->fail("Recv failure", step == -1 ? F::Transient : F::Unreachable);
            else s.transport->reply(step, "{\"odata.error\":{}}", {{"Retry-After", step == 429 ? "3" : "x"}});
        }
        s.transport->reply(c.final, c.final == 500 ? " \r\n" : "{\"odata.error\":{\"code\":\"TableAlreadyExists\"}}");
        s.transport->reply(200, "{}");
        AzureTableResponse response = s.send();
        EXPECT_EQ(response.status, c.final);
        EXPECT_EQ(response.attempts, c.before.size() + 1);
        EXPECT_EQ(response.earlierAttemptMayHaveLanded, c.mayHaveLanded);
        EXPECT_EQ(s.transport->requestCount(), c.before.size() + 1);
        auto sleeps = s.sleeper->sleeps();
        ASSERT_EQ(sleeps.size(), c.before.size());
        for (size_t i = 0; i < sleeps.size(); ++i) EXPECT_TRUE(c.before[i] != 429 || sleeps[i] == 3000u) << i;  // Retry-After
        for (const auto& sent : s.transport->requests())
            EXPECT_EQ(sent.headers.count("Authorization") + sent.headers.count("x-ms-date"), 2u);
    }
}

// A success status whose body is not the JSON object asked for is a reply cut short: retried,
// and never handed on as a success (the client tests add other bodies).
TEST(RequestService, SuccessRepliesThatAreNotJsonAreRetriedThenFail) {
    Service s;
    s.transport->reply(200, "{\"value\":[{\"TableName\":\"t");
    s.transport->reply(200, "{\"value\":[]}");
    AzureTableResponse good = s.send();
    EXPECT_TRUE(good.status == 200 && good.attempts == 2u && good.earlierAttemptMayHaveLanded);
    s.replies(200, "{\"a\":1} {", 3);
    AzureTableResponse bad = s.send(3);
    EXPECT_EQ(bad.failureCode + " " + bad.body, "InvalidReply ");
    EXPECT_NE(bad.failureMessage.find("not valid JSON"), std::string::npos) << bad.failureMessage;
    EXPECT_EQ(s.transport->requestCount(), 5u);
}

// A failed exchange is retried as its kind allows (an unreachable host a few times, a final
// failure never) and ends in words that say what happened, without secrets; an unusable key
// fails before anything is sent.
TEST(RequestService, FailuresWithoutAReplyAreRetriedAsTheirKindAllowsAndReportedWithoutSecrets) {
    const struct { F failure; unsigned int attempts; size_t sent; } cases[] = {
        {F::Transient, 2, 2}, {F::Unreachable, 50, RetryPolicy::kUnreachableAttempts}, {F::Final, 50, 1}};
    for (const auto& c : cases) {
        Service s;
        for (size_t i = 0; i < c.sent; ++i) s.transport->fail("Failed to connect to 127.0.0.1: Connection refused", c.failure);
        s.replies(200, "{}", 1);  // one too many
        AzureTableResponse response = s.send(c.attempts);
        EXPECT_EQ(std::to_string(response.status) + response.failureCode + response.body, "0TransportError");
        EXPECT_NE(response.failureMessage.find("Connection refused"), std::string::npos) << response.failureMessage;
        for (const char* secret : {"SharedKey", "a2V5"}) EXPECT_EQ(response.failureMessage.find(secret), std::string::npos);
        EXPECT_EQ(s.transport->requestCount(), c.sent);
        EXPECT_EQ(s.sleeper->sleeps().size(), c.sent - 1);
    }
    Service s;
    s.request.signing.accessKey = "this is not base64";
    AzureTableResponse response = s.send();
    EXPECT_EQ(response.failureCode, "InvalidAccessKey");
    EXPECT_NE(response.failureMessage.find("not valid base64"), std::string::npos);
    EXPECT_EQ(response.failureMessage.find("this is not base64"), std::string::npos);
    EXPECT_EQ(s.transport->requestCount(), 0u);
}

TEST(RequestService, TheDebugLogShowsEveryExchangeButNoSecret) {
    const std::string path = ::testing::TempDir() + "/transport-debug.log";
    std::remove(path.c_str());
    platform::log::setDebugLogFile(path);
    Service s;
    s.request.signing.accessKey = "c2VjcmV0LWtleS1mb3ItbG9n";
    s.transport->reply(503);
    s.transport->reply(403);
    s.send(5);
    platform::log::setDebugLogFile("");
    const std::string authorization = s.transport->request(0).headers.at("Authorization");
    const std::string log = (std::stringstream() << std::ifstream(path).rdbuf()).str();
    EXPECT_NE(log.find("GET https://acct.table.core.windows.net/Tables -> 503"), std::string::npos) << log;
    for (const std::string& secret : {std::string("c2VjcmV0LWtleS1mb3ItbG9n"), authorization.substr(authorization.find(':') + 1)})
        EXPECT_EQ(log.find(secret), std::string::npos) << log;
    EXPECT_EQ(platform::log::redact("key c2VjcmV0LWtleS1mb3ItbG9n"), "key ***");  // the key is masked in any message
}

TEST(RequestService, NothingMoreIsSentOnceAStopIsRequested) {
    Service s;
    testing_support::StopTokenScope stop;
    s.replies(503);
    s.sleeper->onSleep([&](size_t count) { if (count == 2) stop.requestStop(); });
    AzureTableResponse response = s.send();
    EXPECT_EQ(std::to_string(response.status) + response.failureCode, "0OperationCancelled");
    EXPECT_NE(response.failureMessage.find("stopped on request"), std::string::npos) << response.failureMessage;
    EXPECT_EQ(s.transport->requestCount(), 2u);
    // A stop before the request: nothing is sent at all.
    response = s.send();
    EXPECT_NE(response.failureMessage.find("before it was sent"), std::string::npos) << response.failureMessage;
    EXPECT_EQ(s.transport->requestCount(), 2u);
}

// The deadline spans the request and its retries: every attempt's time-out is cut to what is
// left, no wait runs past it, and the reply says in words what was waited for.
TEST(RequestService, ARequestGivesUpAtItsDeadlineAndSaysWhatItWaitedFor) {
    const struct { unsigned long long deadlineMs; unsigned int timeoutMs; size_t attempts; const char* within; } cases[] = {
        {kDefaultRequestDeadlineMs, 60000, 3, "within 180 s (3 attempts; last: Operation timed out after"},
        {1500, 60000, 1, "within 1.5 s (1 attempt; last: Operation timed out after 1500 milliseconds)"},
        {2000, 1000, 2, "within 2 s (2 attempts;"},
    };
    for (const auto& c : cases) {
        Service s(true, c.deadlineMs);
        auto& clock = *s.sleeper;
        s.transport->setResponder([&clock](const HttpExchange& e) {
            clock.advanceMs(e.timeoutMs);  // the endpoint takes the connection and never answers
            HttpReply r;
            r.transportError = "Operation timed out after " + std::to_string(e.timeoutMs) + " milliseconds";
            return r;
        });
        const unsigned long long started = clock.nowMs();
        AzureTableResponse response = s.send(50, c.timeoutMs);
        EXPECT_EQ(response.status, 0);
        const std::string words = "no reply from 127.0.0.1:10002 to GET http://127.0.0.1:10002/devstoreaccount1/Tables ";
        EXPECT_NE(response.failureMessage.find(words + c.within), std::string::npos) << response.failureMessage;
        EXPECT_EQ(s.transport->requestCount(), c.attempts);
        EXPECT_LE(clock.nowMs() - started, c.deadlineMs);
        EXPECT_LT(s.transport->requests().back().timeoutMs, c.timeoutMs);  // cut to the time left
    }
}
