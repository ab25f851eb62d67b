#include "platform/http/AzureTableRequestService.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "platform/http/RetryPolicy.h"
#include "platform/http/SharedKey.h"
#include "platform/http/UrlEncoding.h"
#include "platform/log/DebugLog.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

namespace platform {
namespace http {
namespace {

void appendJsonString(std::string& out, const std::string& value) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

}  // namespace

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
    if (reader.Parse(stream, handler).IsError()) return false;
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

void foldContinuationIntoBody(AzureTableResponse& response) {
    std::string members;
    for (const char* name : {"x-ms-continuation-NextPartitionKey", "x-ms-continuation-NextRowKey"}) {
        std::string lower(name);
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto found = response.headers.find(lower);
        if (found == response.headers.end()) continue;
        if (!members.empty()) members += ',';
        appendJsonString(members, name);
        members += ':';
        appendJsonString(members, found->second);
    }
    if (members.empty()) return;
    size_t open = response.body.find_first_not_of(" \t\r\n");
    if (open == std::string::npos || response.body[open] != '{') return;
    size_t next = response.body.find_first_not_of(" \t\r\n", open + 1);
    bool emptyObject = next != std::string::npos && response.body[next] == '}';
    response.body.insert(open + 1, emptyObject ? members : members + ",");
}

std::string odataErrorBody(const std::string& code, const std::string& message) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("odata.error");
    writer.StartObject();
    writer.Key("code");
    writer.String(code.c_str(), static_cast<rapidjson::SizeType>(code.size()));
    writer.Key("message");
    writer.StartObject();
    writer.Key("lang");
    writer.String("en-US");
    writer.Key("value");
    writer.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
    writer.EndObject();
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {

std::string firstLine(std::string text) {
    size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    return text;
}

std::string xmlElement(const std::string& body, const std::string& name) {
    size_t open = body.find("<" + name + ">");
    if (open == std::string::npos) return "";
    open += name.size() + 2;
    size_t close = body.find("</" + name + ">", open);
    return close == std::string::npos ? "" : body.substr(open, close - open);
}

}  // namespace

// Table names are case-insensitive in the service.
static bool sameTableName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool listingHoldsTable(const AzureTableResponse& reply, const std::string& name) {
    if (reply.status != 200) return false;
    rapidjson::Document document;
    document.Parse(reply.body.c_str(), reply.body.size());
    if (document.HasParseError() || !document.IsObject()) return false;
    auto value = document.FindMember("value");
    if (value == document.MemberEnd() || !value->value.IsArray()) return false;
    for (const auto& element : value->value.GetArray()) {
        if (!element.IsObject()) continue;
        auto tableName = element.FindMember("TableName");
        if (tableName != element.MemberEnd() && tableName->value.IsString() &&
            sameTableName(name, std::string(tableName->value.GetString(), tableName->value.GetStringLength())))
            return true;
    }
    return false;
}

std::string summarizeErrorBody(const std::string& body) {
    std::string code, message;
    rapidjson::Document document;
    document.Parse(body.c_str(), body.size());
    if (!document.HasParseError() && document.IsObject()) {
        auto error = document.FindMember("odata.error");
        if (error != document.MemberEnd() && error->value.IsObject()) {
            auto codeMember = error->value.FindMember("code");
            if (codeMember != error->value.MemberEnd() && codeMember->value.IsString())
                code = codeMember->value.GetString();
            auto messageMember = error->value.FindMember("message");
            if (messageMember != error->value.MemberEnd()) {
                const rapidjson::Value* value = &messageMember->value;
                if (value->IsObject() && value->HasMember("value")) value = &(*value)["value"];
                if (value->IsString()) message = value->GetString();
            }
        }
    } else if (body.find("<Error>") != std::string::npos) {
        code = xmlElement(body, "Code");
        message = xmlElement(body, "Message");
    }
    std::string summary;
    if (!code.empty() || !message.empty()) {
        summary = code + (code.empty() || message.empty() ? "" : ": ") + firstLine(message);
    } else {
        summary = body.size() > 300 ? body.substr(0, 300) + "..." : body;
        for (auto& c : summary)
            if (c == '\n' || c == '\r') c = ' ';
        if (summary.empty()) summary = "no reply body";
    }
    return platform::log::redact(summary);
}

bool isDescribeTableRequest(const AzureTableRequest& request, std::string& name) {
    static const std::string prefix = "Tables('";
    static const std::string suffix = "')";
    const std::string& path = request.path;
    if (request.method != "GET" || !request.query.empty()) return false;
    if (path.size() <= prefix.size() + suffix.size()) return false;
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    if (path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    name = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    return name.find('?') == std::string::npos && name.find('/') == std::string::npos;
}

AzureTableRequest describeAsTableQuery(const AzureTableRequest& describe, const std::string& name) {
    AzureTableRequest query = describe;
    std::string literal;  // an OData string literal doubles its quotes
    for (char c : name) {
        literal += c;
        if (c == '\'') literal += '\'';
    }
    query.path = "Tables";
    query.query = "$filter=TableName%20eq%20'" + percentEncode(literal) + "'";
    return query;
}

AzureTableRequest tableListingPage(const AzureTableRequest& describe, const std::string& nextTableName) {
    AzureTableRequest listing = describe;
    listing.path = "Tables";
    listing.query = nextTableName.empty() ? "" : "NextTableName=" + percentEncode(nextTableName);
    return listing;
}

AzureTableResponse describeReplyFromTableQuery(AzureTableResponse reply, const std::string& name, long long nowMs) {
    if (reply.status != 200) return reply;
    rapidjson::Document document;
    document.Parse(reply.body.c_str(), reply.body.size());
    if (document.HasParseError() || !document.IsObject()) return reply;
    auto value = document.FindMember("value");
    if (value == document.MemberEnd() || !value->value.IsArray()) return reply;

    const rapidjson::Value* table = nullptr;
    for (const auto& element : value->value.GetArray()) {
        if (!element.IsObject()) continue;
        auto tableName = element.FindMember("TableName");
        if (tableName != element.MemberEnd() && tableName->value.IsString() &&
            sameTableName(name, std::string(tableName->value.GetString(), tableName->value.GetStringLength()))) {
            table = &element;
            break;
        }
    }
    if (!table) {
        auto requestId = reply.headers.find("x-ms-request-id");
        reply.status = 404;
        reply.headers["x-ms-error-code"] = "ResourceNotFound";
        reply.body = odataErrorBody("ResourceNotFound",
                                    "The specified resource does not exist.\nRequestId:" +
                                        (requestId == reply.headers.end() ? std::string() : requestId->second) +
                                        "\nTime:" + (nowMs < 0 ? platform::text::isoTimestampNow()
                                                                  : platform::text::isoTimestamp(nowMs)));
        return reply;
    }

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    auto metadata = document.FindMember("odata.metadata");
    if (metadata != document.MemberEnd() && metadata->value.IsString()) {
        std::string single = std::string(metadata->value.GetString(), metadata->value.GetStringLength()) + "/@Element";
        writer.Key("odata.metadata");
        writer.String(single.c_str(), static_cast<rapidjson::SizeType>(single.size()));
    }
    for (const auto& member : table->GetObject()) {
        if (member.name == "odata.metadata") continue;
        member.name.Accept(writer);
        member.value.Accept(writer);
    }
    writer.EndObject();
    reply.body.assign(buffer.GetString(), buffer.GetSize());
    return reply;
}

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
    // One deadline for everything this call sends, the emulator's describe pages included.
    m_deadlineMs = m_runtime.requestDeadlineMs();
    const unsigned long long deadlineAt = m_deadlineMs == 0 ? 0 : m_runtime.monotonicMs() + m_deadlineMs;

    AzureTableResponse response;
    std::string describedTable;
    if (request.signing.pathStyle && platform::http::isDescribeTableRequest(request, describedTable)) {
        AzureTableRequest query = platform::http::describeAsTableQuery(request, describedTable);
        response = sendWithRetries(query, maxAttempts, timeoutMs, deadlineAt);
        // The emulator's filter compares names with their case, the service's describe does not:
        // before calling the table missing, look for it through the whole listing.
        std::set<std::string> tokens;
        std::string nextTableName;
        for (bool first = true; response.status == 200 && !platform::http::listingHoldsTable(response, describedTable);
             first = false) {
            if (!first) {
                auto next = response.headers.find("x-ms-continuation-nexttablename");
                if (next == response.headers.end() || next->second.empty() || !tokens.insert(next->second).second) break;
                nextTableName = next->second;
            }
            AzureTableResponse page = sendWithRetries(platform::http::tableListingPage(request, nextTableName),
                                                      maxAttempts, timeoutMs, deadlineAt);
            if (page.status != 200) break;  // the filtered reply already said: not found
            response = std::move(page);
        }
        response = platform::http::describeReplyFromTableQuery(std::move(response), describedTable, m_runtime.wallMs());
    } else {
        response = sendWithRetries(request, maxAttempts, timeoutMs, deadlineAt);
    }
    if (response.status == 200) platform::http::foldContinuationIntoBody(response);
    return response;
}

AzureTableResponse AzureTableRequestService::sendWithRetries(const AzureTableRequest& request,
                                                             unsigned int maxAttempts, unsigned int timeoutMs,
                                                             unsigned long long deadlineAt) {
    using namespace platform::http;
    if (maxAttempts == 0) maxAttempts = 1;
    const bool emulator = request.signing.pathStyle;

    HttpExchange exchange;
    exchange.method = request.method;
    // What is signed must be exactly what the server sees, so the URL is made legal first.
    exchange.url = encodeIllegalUrlCharacters(request.url());
    exchange.body = request.body;
    const std::string what = exchange.method + " " + exchange.url;

    AzureTableResponse response;
    bool mayHaveLanded = false;  // by an attempt before the current one
    std::string lastReason;      // why the last attempt got no usable reply
    std::string lastCode = "TransportError";

    // Made on this side when the request cannot go on; status 0, the words in the body.
    auto giveUp = [&](const std::string& code, const std::string& message) {
        response.status = 0;
        response.headers.clear();
        response.body = odataErrorBody(code, m_runtime.log().redact(message));
        debugLine(what + " failed: " + response.body);
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
        if (!signRequest(exchange.headers, exchange.method, exchange.url, request.signing, static_cast<std::time_t>(m_runtime.wallSeconds()),
                         &signingError)) {
            return giveUp("InvalidAccessKey", signingError);
        }

        HttpReply reply = m_client->send(exchange);
        const unsigned long long tookMs = m_runtime.monotonicMs() - attemptAt;
        debugLine(what + " -> " + std::to_string(reply.status) + " (" + std::to_string(tookMs) + " ms, attempt " +
                  std::to_string(attempt) + ")");
        response.attempts = attempt;
        response.earlierAttemptMayHaveLanded = mayHaveLanded;
        response.status = reply.status;
        response.headers = std::move(reply.headers);
        response.body = std::move(reply.body);
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
            response.body = odataErrorBody("TransportError", m_runtime.log().redact(what + ": " + lastReason + " (after " +
                                                                                   attemptsText(attempt) + ")"));
            transient = true;
            landed = reply.failure != HttpReply::Failure::Unreachable;
            if (reply.failure == HttpReply::Failure::Final) attemptLimit = attempt;
            if (reply.failure == HttpReply::Failure::Unreachable)
                attemptLimit = std::min(maxAttempts, RetryPolicy::kUnreachableAttempts);
        } else if (expectsJsonReply(request, reply.status) && !isJsonObject(response.body)) {
            // A success status with a body that is not what was asked for is a reply cut short
            // (or mangled on the way): never a success, and worth another try.
            debugLine(what + ": HTTP " + std::to_string(reply.status) + " reply is not valid JSON (" +
                      std::to_string(response.body.size()) + " bytes)");
            lastReason = "the HTTP " + std::to_string(reply.status) + " reply was not valid JSON (" +
                         std::to_string(response.body.size()) + " bytes, cut short?)";
            lastCode = "InvalidReply";
            response.status = 0;
            response.headers.clear();
            response.body = odataErrorBody("InvalidReply", m_runtime.log().redact(what + ": " + lastReason + " (after " +
                                                                                 attemptsText(attempt) + ")"));
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
            debugLine(what + " failed: " + response.body);
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
