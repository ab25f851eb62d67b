#include "table_service/AzureTableListing.h"

#include <cctype>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/http/UrlEncoding.h"
#include "platform/util/Text.h"
#include "table_service/AzureTableErrors.h"

namespace table_service {
namespace {

const char* const kNextTableNameHeader = "x-ms-continuation-nexttablename";

// The "value" array of a listing reply, or null when the reply is no listing.
const rapidjson::Value* listingValue(const rapidjson::Document& document) {
    if (document.HasParseError() || !document.IsObject()) return nullptr;
    auto value = document.FindMember("value");
    if (value == document.MemberEnd() || !value->value.IsArray()) return nullptr;
    return &value->value;
}

// The first table object of a listing whose name is `name` (any case), or null.
const rapidjson::Value* findTable(const rapidjson::Value& listing, const std::string& name) {
    for (const auto& element : listing.GetArray()) {
        if (!element.IsObject()) continue;
        auto tableName = element.FindMember("TableName");
        if (tableName != element.MemberEnd() && tableName->value.IsString() &&
            sameTableName(name, std::string(tableName->value.GetString(), tableName->value.GetStringLength())))
            return &element;
    }
    return nullptr;
}

}  // namespace

AzureTableListing::AzureTableListing(AzureTableRequest first, Send send)
    : m_first(std::move(first)), m_send(std::move(send)) {}

bool AzureTableListing::next() {
    m_names.clear();
    if (m_done) return false;
    if (m_started) {
        auto token = m_reply.headers.find(kNextTableNameHeader);
        if (token == m_reply.headers.end() || token->second.empty()) {
            m_done = true;
            return false;
        }
        // A token that comes back again would list the same page for ever.
        if (!m_seenTokens.insert(token->second).second) {
            m_error = "the service repeated a continuation token";
            m_done = true;
            return false;
        }
        m_nextTableName = token->second;
    }
    m_started = true;

    AzureTableRequest page = m_first;
    page.query = m_nextTableName.empty() ? "" : "NextTableName=" + platform::http::percentEncode(m_nextTableName);
    m_reply = m_send(page);
    if (m_reply.status != 200) {
        m_error = (m_reply.status == 0 ? std::string() : "HTTP " + std::to_string(m_reply.status) + ": ") +
                  summarizeErrorBody(m_reply.body) +
                  (m_reply.status == 403 ? " (check the account name and key)" : "");
        m_done = true;
        return false;
    }
    rapidjson::Document document;
    document.Parse(m_reply.body.c_str(), m_reply.body.size());
    const rapidjson::Value* value = listingValue(document);
    if (value == nullptr) {
        m_error = "unexpected reply: " + m_reply.body.substr(0, 200);
        m_done = true;
        return false;
    }
    for (const auto& table : value->GetArray()) {
        if (!table.IsObject()) continue;
        auto name = table.FindMember("TableName");
        if (name != table.MemberEnd() && name->value.IsString())
            m_names.emplace_back(name->value.GetString(), name->value.GetStringLength());
    }
    return true;
}

bool sameTableName(const std::string& a, const std::string& b) { return platform::text::equalsIgnoreCase(a, b); }

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
    query.query = "$filter=TableName%20eq%20'" + platform::http::percentEncode(literal) + "'";
    return query;
}

AzureTableRequest tableListingPage(const AzureTableRequest& like) {
    AzureTableRequest listing = like;
    listing.method = "GET";
    listing.path = "Tables";
    listing.query.clear();
    listing.body.clear();
    return listing;
}

bool listingHoldsTable(const AzureTableResponse& reply, const std::string& name) {
    if (reply.status != 200) return false;
    rapidjson::Document document;
    document.Parse(reply.body.c_str(), reply.body.size());
    const rapidjson::Value* value = listingValue(document);
    return value != nullptr && findTable(*value, name) != nullptr;
}

AzureTableResponse describeReplyFromTableQuery(AzureTableResponse reply, const std::string& name) {
    if (reply.status != 200) return reply;
    rapidjson::Document document;
    document.Parse(reply.body.c_str(), reply.body.size());
    const rapidjson::Value* value = listingValue(document);
    if (value == nullptr) return reply;

    const rapidjson::Value* table = findTable(*value, name);
    if (!table) {
        auto requestId = reply.headers.find("x-ms-request-id");
        reply.status = 404;
        reply.headers["x-ms-error-code"] = "ResourceNotFound";
        reply.body = odataErrorBody("ResourceNotFound",
                                    "The specified resource does not exist.\nRequestId:" +
                                        (requestId == reply.headers.end() ? std::string() : requestId->second) +
                                        "\nTime:" + platform::text::isoTimestampNow());
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

AzureTableResponse describeThroughTableQuery(const AzureTableRequest& request, const std::string& name,
                                             const AzureTableListing::Send& send) {
    AzureTableRequest query = describeAsTableQuery(request, name);
    AzureTableResponse response = send(query);
    if (response.status == 200 && !listingHoldsTable(response, name)) {
        AzureTableListing listing(tableListingPage(request), send);
        while (listing.next()) {
            response = listing.reply();
            if (listingHoldsTable(response, name)) break;
        }
        // A listing page that failed says nothing about the table: calling it missing would
        // let a caller waiting for its deletion go on.
        if (!listing.error().empty() && listing.reply().status != 200) return listing.reply();
    }
    return describeReplyFromTableQuery(std::move(response), name);
}

}  // namespace table_service
