#include "platform/http/AzureTableRequestService.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "platform/http/RetryPolicy.h"
#include "platform/http/SharedKey.h"
#include "platform/http/UrlEncoding.h"
#include "platform/log/DebugLog.h"
#include "platform/util/Sleeper.h"

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

std::string isoTimeNow() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto micros = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long long>(micros));
    return text;
}

void debugLine(const std::string& message) {
    if (platform::log::debugLogFile().empty()) return;
    platform::log::writeDebugLine("http", "executeRequest", message);
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

AzureTableResponse describeReplyFromTableQuery(AzureTableResponse reply, const std::string& name) {
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
        if (tableName != element.MemberEnd() && tableName->value.IsString() && name == tableName->value.GetString()) {
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
                                        "\nTime:" + isoTimeNow());
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

using platform::http::HttpExchange;
using platform::http::HttpReply;
using platform::http::RetryPolicy;

AzureTableRequestService::AzureTableRequestService() : AzureTableRequestService(platform::http::makeHttpClient()) {}

AzureTableRequestService::AzureTableRequestService(std::unique_ptr<platform::http::HttpClient> client)
    : m_client(std::move(client)), m_random(std::random_device{}()) {}

AzureTableRequestService::~AzureTableRequestService() = default;

AzureTableResponse AzureTableRequestService::executeRequest(AzureTableRequest& request, unsigned int maxAttempts,
                                                            unsigned int timeoutMs) {
    if (!request.signing.accessKey.empty()) platform::log::registerSecret(request.signing.accessKey);

    AzureTableResponse response;
    std::string describedTable;
    if (request.signing.pathStyle && platform::http::isDescribeTableRequest(request, describedTable)) {
        response = platform::http::describeReplyFromTableQuery(
            sendWithRetries(platform::http::describeAsTableQuery(request, describedTable), maxAttempts, timeoutMs),
            describedTable);
    } else {
        response = sendWithRetries(request, maxAttempts, timeoutMs);
    }
    if (response.status == 200) platform::http::foldContinuationIntoBody(response);
    return response;
}

AzureTableResponse AzureTableRequestService::sendWithRetries(const AzureTableRequest& request,
                                                             unsigned int maxAttempts, unsigned int timeoutMs) {
    if (maxAttempts == 0) maxAttempts = 1;
    const bool emulator = request.signing.pathStyle;

    HttpExchange exchange;
    exchange.method = request.method;
    // What is signed must be exactly what the server sees, so the URL is made legal first.
    exchange.url = platform::http::encodeIllegalUrlCharacters(request.url());
    exchange.body = request.body;
    exchange.timeoutMs = timeoutMs;

    AzureTableResponse response;
    for (unsigned int attempt = 1;; ++attempt) {
        exchange.headers = request.headers;
        std::string signingError;
        if (!platform::http::signRequest(exchange.headers, exchange.method, exchange.url, request.signing,
                                         std::time(nullptr), &signingError)) {
            response.status = 0;
            response.headers.clear();
            response.body = platform::http::odataErrorBody("InvalidAccessKey", signingError);
            platform::http::debugLine(exchange.method + " " + exchange.url + ": " + signingError);
            return response;
        }

        HttpReply reply = m_client->send(exchange);
        response.status = reply.status;
        response.headers = std::move(reply.headers);
        if (reply.status == 0) {
            std::string reason = reply.transportError.empty() ? "no reply" : reply.transportError;
            response.body = platform::http::odataErrorBody(
                "TransportError", platform::log::redact(exchange.method + " " + exchange.url + ": " + reason +
                                                        " (after " + std::to_string(attempt) + (attempt == 1 ? " attempt)" : " attempts)")));
        } else {
            response.body = std::move(reply.body);
        }

        unsigned int attemptLimit = maxAttempts;
        if (reply.status == 0 && reply.failure == HttpReply::Failure::Final) attemptLimit = attempt;
        if (reply.status == 0 && reply.failure == HttpReply::Failure::Unreachable)
            attemptLimit = std::min(maxAttempts, RetryPolicy::kUnreachableAttempts);
        if (!RetryPolicy::isTransient(response.status, emulator) || attempt >= attemptLimit) {
            if (response.status == 0 || response.status >= 400)
                platform::http::debugLine(exchange.method + " " + exchange.url + " -> " + std::to_string(response.status) +
                          " after " + std::to_string(attempt) + " attempt(s): " + response.body);
            return response;
        }

        unsigned long long delayMs = 0;
        if (!RetryPolicy::retryAfterMs(response.headers, delayMs)) {
            double random01 = std::uniform_real_distribution<double>(0.0, 1.0)(m_random);
            delayMs = RetryPolicy::backoffMs(attempt, random01);
        }
        platform::http::debugLine(exchange.method + " " + exchange.url + " -> " + std::to_string(response.status) + " (attempt " +
                  std::to_string(attempt) + " of " + std::to_string(maxAttempts) + "), retrying in " +
                  std::to_string(delayMs) + " ms");
        platform::sleeper().sleepMs(delayMs);
    }
}
