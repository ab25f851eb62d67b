// Entity queries: one page per request, streamed into an output as JSON lines.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/ida/RestartPoint.h"
#include "platform/util/Text.h"
#include "table_service/AzureTableStorage.h"
#include "table_service/TableServiceText.h"

namespace {

const char* const kNextPartitionKey = "x-ms-continuation-NextPartitionKey";
const char* const kNextRowKey = "x-ms-continuation-NextRowKey";

std::string stringMember(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject()) return std::string();
    auto found = object.FindMember(name);
    if (found == object.MemberEnd() || !found->value.IsString()) return std::string();
    return std::string(found->value.GetString(), found->value.GetStringLength());
}

AzureTableContinuationToken continuationOf(const rapidjson::Value& reply) {
    AzureTableContinuationToken token;
    token.nextPartitionKey = stringMember(reply, kNextPartitionKey);
    token.nextRowKey = stringMember(reply, kNextRowKey);
    return token;
}

// The entity array of a page, or null when the reply is not a page at all.
const rapidjson::Value* entitiesOf(const rapidjson::Value& reply) {
    if (!reply.IsObject()) return nullptr;
    auto found = reply.FindMember("value");
    if (found == reply.MemberEnd() || !found->value.IsArray()) return nullptr;
    return &found->value;
}

}  // namespace

namespace table_service {

void foldContinuationIntoBody(AzureTableResponse& response) {
    size_t open = response.body.find_first_not_of(" \t\r\n");
    if (open == std::string::npos || response.body[open] != '{') return;
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    bool any = false;
    for (const char* name : {kNextPartitionKey, kNextRowKey}) {
        auto found = response.headers.find(platform::text::toLower(name));  // header names are kept in lower case
        if (found == response.headers.end()) continue;
        writer.Key(name);
        writer.String(found->second.c_str(), static_cast<rapidjson::SizeType>(found->second.size()));
        any = true;
    }
    writer.EndObject();
    if (!any) return;
    // The members without the writer's braces, put first in the reply's object.
    std::string members(buffer.GetString() + 1, buffer.GetSize() - 2);
    size_t next = response.body.find_first_not_of(" \t\r\n", open + 1);
    bool emptyObject = next != std::string::npos && response.body[next] == '}';
    response.body.insert(open + 1, emptyObject ? members : members + ",");
}

}  // namespace table_service

std::string toRestartString(const AzureTableContinuationToken& token) {
    return RestartPoint::nextPage(token.nextPartitionKey, token.nextRowKey).afterPageString();
}

AzureTableQueryRespone::AzureTableQueryRespone(const rapidjson::Value& reply) { assign(reply); }

AzureTableQueryRespone::AzureTableQueryRespone(const AzureTableQueryRespone& other)
    : entities(other.entities), continuation(other.continuation) {}

void AzureTableQueryRespone::assign(const rapidjson::Value& reply) {
    entities.clear();
    if (const rapidjson::Value* value = entitiesOf(reply)) {
        entities.reserve(value->Size());
        for (const auto& entity : value->GetArray()) entities.push_back(table_text::compactJson(entity));
    }
    continuation = continuationOf(reply);
}

EmptyCheckerOutput::EmptyCheckerOutput(IdaEnvironment* environment) : IdaOutput("", environment) {}

bool EmptyCheckerOutput::putString(const std::string& text) {
    if (!text.empty()) dataWritten = true;
    return true;
}

void EmptyCheckerOutput::updateRestart(const std::string&) {}
bool EmptyCheckerOutput::flush() { return true; }
bool EmptyCheckerOutput::close(const std::string&) { return true; }

int AzureTableStorage::queryEntities(const std::string& table, const AzureTableContinuationToken& start,
                                     IdaOutput* output, AzureTableContinuationToken& next, long long fromTime,
                                     long long toTime) {
    AzureTableRequest request = baseRequest("");
    request.path = table + "()";

    std::string filter;
    if (toTime != 0) filter = getAzureUriToTimeFilter(toAzureFormatTime(toTime));
    if (fromTime != 0) {
        if (!filter.empty()) filter += "%20and%20";
        filter += getAzureUriFromTimeFilter(toAzureFormatTime(fromTime));
    }
    if (!filter.empty()) request.query = "$filter=" + filter;

    // Tokens are opaque service text (often base64 with '+', '/', '='): encoded so they survive
    // the query string. The first parameter opens the query part even when it is the row key.
    if (!start.nextPartitionKey.empty()) {
        request.path += "?NextPartitionKey=" + table_text::percentEncode(start.nextPartitionKey);
    }
    if (!start.nextRowKey.empty()) {
        request.path += start.nextPartitionKey.empty() ? "?" : "&";
        request.path += "NextRowKey=" + table_text::percentEncode(start.nextRowKey);
    }

    AzureTableResponse response = execute(request);
    if (response.status != 200) return classifyAzureTableError(response);
    return parseToStream(response.body, output, next) ? Success : Failed;
}

bool AzureTableStorage::parseToStream(const std::string& body, IdaOutput* output, AzureTableContinuationToken& next) {
    rapidjson::Document document;
    table_text::parseJson(document, body);
    const rapidjson::Value* value = entitiesOf(document);
    if (value == nullptr) {
        // Taking such a reply as the last page would end the backup early and call it complete.
        log("queryEntities", "Reply is not a page of entities");
        return false;
    }

    std::string lines;
    for (const auto& entity : value->GetArray()) {
        table_text::appendCompactJson(lines, entity);
        lines += '\n';
    }
    if (!output->putString(lines)) return false;

    // A page may be empty and still not the last one: the token alone says whether more follow.
    next = continuationOf(document);
    output->updateRestart(toRestartString(next));
    return true;
}

bool AzureTableStorage::isTableEmpty(const std::string& table) {
    EmptyCheckerOutput checker(m_environment);
    AzureTableContinuationToken token;
    if (queryEntities(table, token, &checker, token, 0, 0) != Success) {
        log("isTableEmpty", "Error checking " + table + "[" + m_accountName + "] for emptiness");
        return false;
    }
    return !checker.wasDataWritten();
}
