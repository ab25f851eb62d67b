// Entity queries: one page per request, streamed into an output as JSON lines.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/http/RetryPolicy.h"
#include "platform/ida/RestartPoint.h"
#include "platform/util/Text.h"
#include "table_service/AzureTableStorage.h"
#include "table_service/PageReadAhead.h"
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

// Hands a page's lines to the output and records the restart point after it. A continuation
// header is the service's word; a member of the same name in the body counts only where no header
// came.
bool writePage(const char* lines, size_t size, const table_text::PageScan& page,
               const std::map<std::string, std::string>* headers, IdaOutput* output, AzureTableContinuationToken& next) {
    if (!output->putBytes(lines, size)) return false;
    // A page may be empty and still not the last one: the token alone says whether more follow.
    AzureTableContinuationToken token;
    token.nextPartitionKey = page.nextPartitionKey;
    token.nextRowKey = page.nextRowKey;
    if (headers) {
        auto partition = headers->find(platform::text::toLower(kNextPartitionKey));
        if (partition != headers->end()) token.nextPartitionKey = partition->second;
        auto row = headers->find(platform::text::toLower(kNextRowKey));
        if (row != headers->end()) token.nextRowKey = row->second;
    }
    next = std::move(token);
    output->updateRestart(toRestartString(next));
    return true;
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

AzureTableRequest AzureTableStorage::pageRequest(const std::string& table, const AzureTableContinuationToken& start,
                                                long long fromTime, long long toTime, const char* select) const {
    AzureTableRequest request = baseRequest("");
    request.path = table + "()";

    std::string filter;
    if (toTime != 0) filter = getAzureUriToTimeFilter(toAzureFormatTime(toTime));
    if (fromTime != 0) {
        if (!filter.empty()) filter += "%20and%20";
        filter += getAzureUriFromTimeFilter(toAzureFormatTime(fromTime));
    }
    if (!filter.empty()) request.query = "$filter=" + filter;
    if (select) request.query += (request.query.empty() ? "$select=" : "&$select=") + table_text::percentEncode(select);

    // Tokens are opaque service text (often base64 with '+', '/', '='): encoded so they survive
    // the query string. The first parameter opens the query part even when it is the row key.
    if (!start.nextPartitionKey.empty()) {
        request.path += "?NextPartitionKey=" + table_text::percentEncode(start.nextPartitionKey);
    }
    if (!start.nextRowKey.empty()) {
        request.path += start.nextPartitionKey.empty() ? "?" : "&";
        request.path += "NextRowKey=" + table_text::percentEncode(start.nextRowKey);
    }
    return request;
}

void AzureTableStorage::setReadAhead(bool on) {
    if (!on) {
        m_readAhead.reset();
    } else if (!m_readAhead) {
        // One attempt: a page read ahead that fails is asked for again, with every retry, only if
        // and when the scan wants it, so a stop never waits for the retries of a page not needed.
        m_readAhead.reset(new table_service::PageReadAhead([this](AzureTableRequest& request) { return send(request, 1); }));
    }
}

int AzureTableStorage::queryEntities(const std::string& table, const AzureTableContinuationToken& start,
                                     IdaOutput* output, AzureTableContinuationToken& next, long long fromTime,
                                     long long toTime, const char* select) {
    AzureTableRequest request = pageRequest(table, start, fromTime, toTime, select);
    if (!m_pageBuffers) m_pageBuffers.reset(new table_text::PageBuffers);
    rapidjson::StringBuffer& lines = m_pageBuffers->lines;
    table_text::PageScan& page = m_pageBuffers->page;
    lines.Clear();

    if (m_readAhead) {
        // The page is sent unchecked and parsed here, while the next one is on its way.
        const std::string key = request.url();
        AzureTableResponse response;
        // A read-ahead that met what the transport would have retried is sent again, retries and all;
        // any other answer is the page's.
        const bool taken = m_readAhead->take(key, response);
        if (!taken || response.status == 0 ||
            (response.status != 200 &&
             platform::http::RetryPolicy::isTransient(response.status, request.signing.pathStyle, response.body))) {
            AzureTableRequest unchecked = request;
            unchecked.readJsonReply = [](const std::string&) { return true; };
            response = send(unchecked, 50);
        }
        if (response.status != 200) return classifyAzureTableError(response);
        AzureTableContinuationToken following;
        auto header = [&](const char* name, std::string& value) {
            auto found = response.headers.find(platform::text::toLower(name));
            if (found != response.headers.end()) value = found->second;
        };
        header(kNextPartitionKey, following.nextPartitionKey);
        header(kNextRowKey, following.nextRowKey);
        // Only a page the headers name is read ahead (one named in the body waits for the parse).
        if (!following.nextPartitionKey.empty() || !following.nextRowKey.empty()) {
            AzureTableRequest ahead = pageRequest(table, following, fromTime, toTime, select);
            ahead.readJsonReply = [](const std::string&) { return true; };
            std::string aheadKey = ahead.url();
            m_readAhead->start(std::move(ahead), std::move(aheadKey));
        }
        // A page in the service's own shape becomes its lines where it stands.
        const char* inPlace = nullptr;
        size_t inPlaceSize = 0;
        if (table_text::scanCompactPageInPlace(&response.body[0], response.body.size(), page, kNextPartitionKey,
                                               kNextRowKey, inPlace, inPlaceSize))
            return writePage(inPlace, inPlaceSize, page, &response.headers, output, next) ? Success : Failed;
        // Any other page goes to the reader (our own pass has just declined it).
        if (table_text::streamPage(response.body.data(), response.body.size(), lines, page, kNextPartitionKey,
                                   kNextRowKey, table_text::PageWriting::Reader))
            return writePage(lines.GetString(), lines.GetSize(), page, &response.headers, output, next) ? Success : Failed;
        // Mangled on the way, perhaps: fetched again below as if read-ahead were off.
        log("queryEntities", "Reply is not a page of entities; fetching it again");
        m_readAhead->drop();
        lines.Clear();
    }

    // The page is parsed as it arrives, in place of the transport's check that it is JSON, and
    // not through execute(): the continuation headers are read where they are rather than folded
    // into the body first, which would move the whole page (entity queries need no adapter).
    bool read = false, isPage = false;
    request.readJsonReply = [&](const std::string& body) {
        lines.Clear();
        isPage = table_text::streamPage(body.data(), body.size(), lines, page, kNextPartitionKey, kNextRowKey);
        read = true;
        return page.isObject;
    };
    AzureTableResponse response = send(request, 50);
    if (response.status != 200) return classifyAzureTableError(response);
    if (!read) isPage = table_text::streamPage(response.body.data(), response.body.size(), lines, page,
                                               kNextPartitionKey, kNextRowKey);
    if (!isPage) {
        // Taking such a reply as the last page would end the backup early and call it complete.
        log("queryEntities", "Reply is not a page of entities");
        return Failed;
    }
    return writePage(lines.GetString(), lines.GetSize(), page, &response.headers, output, next) ? Success : Failed;
}

bool AzureTableStorage::parseToStream(const std::string& body, IdaOutput* output, AzureTableContinuationToken& next) {
    rapidjson::StringBuffer lines;
    table_text::PageScan page;
    bool isPage = table_text::streamPage(body.data(), body.size(), lines, page, kNextPartitionKey, kNextRowKey);
    if (!isPage) {
        log("queryEntities", "Reply is not a page of entities");
        return false;
    }
    return writePage(lines.GetString(), lines.GetSize(), page, nullptr, output, next);
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
