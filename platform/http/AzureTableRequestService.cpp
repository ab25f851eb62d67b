#include "platform/http/AzureTableRequestService.h"

#include <rapidjson/reader.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/http/RetryPolicy.h"
#include "platform/http/SharedKey.h"
#include "platform/http/UrlEncoding.h"
#include "platform/log/DebugLog.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

namespace platform {
namespace http {
void setRequestDeadlineMs(unsigned long long milliseconds) { defaultRuntime().setRequestDeadlineMs(milliseconds); }
unsigned long long requestDeadlineMs() { return defaultRuntime().requestDeadlineMs(); }

bool parseHttpDate(const std::string& text, long long& seconds) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {0}, month[4] = {0};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, consumed = 0;
    if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", weekday, &day, month, &year,
                    &hour, &minute, &second, &consumed) != 7 ||
        consumed == 0 || text.find_first_not_of(" \t", static_cast<size_t>(consumed)) != std::string::npos)
        return false;
    int monthIndex = -1;
    for (int i = 0; i < 12; ++i)
        if (std::strcmp(month, kMonths[i]) == 0) monthIndex = i;
    if (monthIndex < 0 || day < 1 || day > 31 || year < 1970 || hour > 23 || minute > 59 || second > 60) return false;
    struct tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = monthIndex;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    time_t when = timegm(&fields);
    if (when == static_cast<time_t>(-1)) return false;
    seconds = static_cast<long long>(when);
    return true;
}

namespace {

// True when the whole body is one JSON object (validated without building a document).
bool isJsonObject(const std::string& body) {
    size_t open = body.find_first_not_of(" \t\r\n");
    if (open == std::string::npos || body[open] != '{') return false;
    rapidjson::Reader reader;
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::StringStream stream(body.c_str());
    // Numbers are only checked, not converted: validity is all that is asked here.
    if (reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(stream, handler).IsError()) return false;
    return stream.Tell() == body.size();  // a NUL inside the body ends the stream early
}

// Whether a 200/201 to this request must carry a JSON body (its Accept asks for JSON; batches
// answer 202 with a multipart body and are not concerned).
bool expectsJsonReply(const AzureTableRequest& request, int status) {
    if (status != 200 && status != 201) return false;
    for (const auto& header : request.headers)
        if (platform::text::toLower(header.first) == "accept") return header.second.find("json") != std::string::npos;
    return false;
}

std::string hostOf(const std::string& url) {
    size_t scheme = url.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = url.find_first_of("/?", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string secondsText(unsigned long long milliseconds) {
    if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
    return text;
}

std::string attemptsText(unsigned int attempts) {
    return std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts");
}

}  // namespace

}  // namespace http
}  // namespace platform


AzureTableRequestService::AzureTableRequestService() : AzureTableRequestService(platform::defaultRuntime()) {}

AzureTableRequestService::AzureTableRequestService(platform::Runtime& runtime)
    : AzureTableRequestService(runtime.makeHttpClient(), runtime) {}

AzureTableRequestService::AzureTableRequestService(std::unique_ptr<platform::http::HttpClient> client)
    : AzureTableRequestService(std::move(client), platform::defaultRuntime()) {}

AzureTableRequestService::AzureTableRequestService(std::unique_ptr<platform::http::HttpClient> client,
                                                   platform::Runtime& runtime)
    : m_runtime(runtime), m_client(std::move(client)), m_random(std::random_device{}()) {}

void AzureTableRequestService::debugLine(const std::string& message) {
    m_runtime.log().writeLine("http", "executeRequest", message);
}

AzureTableRequestService::~AzureTableRequestService() = default;

AzureTableResponse AzureTableRequestService::executeRequest(AzureTableRequest& request, unsigned int maxAttempts,
                                                            unsigned int timeoutMs) {
    if (!request.signing.accessKey.empty()) m_runtime.log().registerSecret(request.signing.accessKey);
    m_deadlineMs = m_runtime.requestDeadlineMs();
    const unsigned long long deadlineAt = m_deadlineMs == 0 ? 0 : m_runtime.monotonicMs() + m_deadlineMs;
    return sendWithRetries(request, request.body, maxAttempts, timeoutMs, deadlineAt);
}

AzureTableResponse AzureTableRequestService::sendWithRetries(const AzureTableRequest& request, std::string& body,
                                                             unsigned int maxAttempts, unsigned int timeoutMs,
                                                             unsigned long long deadlineAt) {
    using namespace platform::http;
    if (maxAttempts == 0) maxAttempts = 1;
    const bool emulator = request.signing.pathStyle;

    HttpExchange exchange;
    exchange.method = request.method;
    // What is signed must be exactly what the server sees, so the URL is made legal first.
    exchange.url = encodeIllegalUrlCharacters(request.url());
    // Lent, not copied (a batch body is tens of kilobytes), and given back at every return.
    exchange.body.swap(body);
    struct GiveBack {
        std::string& lent;
        std::string& owner;
        ~GiveBack() { owner.swap(lent); }
    } giveBack{exchange.body, body};
    const std::string what = exchange.method + " " + exchange.url;

    AzureTableResponse response;
    bool mayHaveLanded = false;  // by an attempt before the current one
    std::string lastReason;      // why the last attempt got no usable reply
    std::string lastCode = "TransportError";

    // Made on this side when the request cannot go on; status 0, the words in the body.
    auto giveUp = [&](const std::string& code, const std::string& message) {
        response.status = 0;
        response.headers.clear();
        response.body.clear();
        response.failureCode = code;
        response.failureMessage = m_runtime.log().redact(message);
        debugLine(what + " failed: " + code + ": " + response.failureMessage);
        return response;
    };
    auto stopped = [&](unsigned int sent) {
        return giveUp("OperationCancelled", what + " was stopped on request " +
                                                (sent == 0 ? std::string("before it was sent")
                                                           : "(after " + attemptsText(sent) + ")"));
    };
    auto outOfTime = [&](unsigned int sent) {
        // A transient HTTP status says more about the cause than the deadline does.
        if (response.status != 0) {
            debugLine(what + ": no good reply within " + secondsText(m_deadlineMs) + "; returning the last");
            return response;
        }
        return giveUp(lastCode, std::string(lastCode == "InvalidReply" ? "no valid reply" : "no reply") + " from " +
                                    hostOf(exchange.url) + " to " + what + " within " +
                                            secondsText(m_deadlineMs) + " (" + attemptsText(sent) +
                                            (lastReason.empty() ? std::string(")") : "; last: " + lastReason + ")"));
    };

    // The pauses between attempts (the delay of each is worked out below: Retry-After, or
    // exponential with jitter); the attempt limit bounds them.
    platform::Backoff backoff(m_runtime, nullptr);
    for (unsigned int attempt = 1;; ++attempt) {
        if (m_runtime.stopRequested()) return stopped(attempt - 1);
        const unsigned long long attemptAt = m_runtime.monotonicMs();
        exchange.timeoutMs = timeoutMs == 0 ? 60000 : timeoutMs;
        if (deadlineAt != 0) {
            if (attemptAt >= deadlineAt) return outOfTime(attempt - 1);
            exchange.timeoutMs = static_cast<unsigned int>(std::min<unsigned long long>(exchange.timeoutMs, deadlineAt - attemptAt));
        }

        exchange.headers = request.headers;
        std::string signingError;
        if (!m_signer.sign(exchange.headers, exchange.method, exchange.url, request.signing, static_cast<std::time_t>(m_runtime.wallSeconds()),
                         &signingError)) {
            return giveUp("InvalidAccessKey", signingError);
        }

        HttpReply reply = m_client->send(exchange);
        const unsigned long long tookMs = m_runtime.monotonicMs() - attemptAt;
        if (m_runtime.log().enabled())
            debugLine(what + " -> " + std::to_string(reply.status) + " (" + std::to_string(tookMs) + " ms, attempt " +
                      std::to_string(attempt) + ")");
        response.attempts = attempt;
        response.earlierAttemptMayHaveLanded = mayHaveLanded;
        response.status = reply.status;
        response.headers = std::move(reply.headers);
        response.body = std::move(reply.body);
        response.failureCode.clear();
        response.failureMessage.clear();
        if (reply.status != 0) {
            auto date = response.headers.find("date");
            long long seconds = 0;
            if (date != response.headers.end() && parseHttpDate(date->second, seconds)) m_lastReplyTime = seconds;
        }

        bool transient = false;
        bool landed = false;
        unsigned int attemptLimit = maxAttempts;
        if (reply.status == 0) {
            lastReason = reply.transportError.empty() ? "no reply" : reply.transportError;
            lastCode = "TransportError";
            response.failureCode = lastCode;
            response.failureMessage = m_runtime.log().redact(what + ": " + lastReason + " (after " + attemptsText(attempt) + ")");
            transient = true;
            landed = reply.failure != HttpReply::Failure::Unreachable;
            if (reply.failure == HttpReply::Failure::Final) attemptLimit = attempt;
            if (reply.failure == HttpReply::Failure::Unreachable)
                attemptLimit = std::min(maxAttempts, RetryPolicy::kUnreachableAttempts);
        } else if (expectsJsonReply(request, reply.status) &&
                   !(request.readJsonReply ? request.readJsonReply(response.body) : isJsonObject(response.body))) {
            // A success status with a body that is not what was asked for is a reply cut short
            // (or mangled on the way): never a success, and worth another try.
            debugLine(what + ": HTTP " + std::to_string(reply.status) + " reply is not valid JSON (" +
                      std::to_string(response.body.size()) + " bytes)");
            lastReason = "the HTTP " + std::to_string(reply.status) + " reply was not valid JSON (" +
                         std::to_string(response.body.size()) + " bytes, cut short?)";
            lastCode = "InvalidReply";
            response.status = 0;
            response.headers.clear();
            response.body.clear();
            response.failureCode = lastCode;
            response.failureMessage = m_runtime.log().redact(what + ": " + lastReason + " (after " + attemptsText(attempt) + ")");
            transient = true;
            landed = true;
        } else {
            transient = RetryPolicy::isTransient(reply.status, emulator, response.body);
            landed = RetryPolicy::mayHaveLanded(reply.status, false);
        }

        if (!transient) {
            if (response.status >= 400) debugLine(what + " failed: " + response.body);
            return response;
        }
        if (m_runtime.stopRequested()) return stopped(attempt);
        if (attempt >= attemptLimit) {
            debugLine(what + " failed: " + (response.status == 0 ? response.failureCode + ": " + response.failureMessage
                                                                  : response.body));
            return response;
        }

        unsigned long long delayMs = 0;
        if (!RetryPolicy::retryAfterMs(response.headers, delayMs)) {
            double random01 = std::uniform_real_distribution<double>(0.0, 1.0)(m_random);
            delayMs = RetryPolicy::backoffMs(attempt, random01);
        }
        // No wait runs past the deadline, and no attempt starts after it.
        if (deadlineAt != 0 && m_runtime.monotonicMs() + delayMs >= deadlineAt) return outOfTime(attempt);
        mayHaveLanded = mayHaveLanded || landed;
        debugLine("retrying in " + std::to_string(delayMs) + " ms");
        // A stop during the pause is seen at the top of the loop: no attempt starts after it.
        backoff.next(delayMs);
    }
}
