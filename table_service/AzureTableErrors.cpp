#include "table_service/AzureTableErrors.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/log/DebugLog.h"

namespace table_service {
namespace {

struct ErrorText {
    std::string code;
    std::string message;
};

// The text of the first <name> element. In well-formed XML a '<' inside text is escaped, so the
// tag found is an element, not words of a message.
std::string xmlElement(const std::string& body, const std::string& name) {
    size_t open = body.find("<" + name + ">");
    if (open == std::string::npos) return "";
    open += name.size() + 2;
    size_t close = body.find("</" + name + ">", open);
    return close == std::string::npos ? "" : body.substr(open, close - open);
}

// Code and message of a JSON "odata.error" or XML <Error> body; both empty for anything else.
ErrorText readErrorBody(const std::string& body) {
    ErrorText text;
    rapidjson::Document document;
    document.Parse(body.c_str(), body.size());
    if (!document.HasParseError() && document.IsObject()) {
        auto error = document.FindMember("odata.error");
        if (error == document.MemberEnd() || !error->value.IsObject()) return text;
        auto code = error->value.FindMember("code");
        if (code != error->value.MemberEnd() && code->value.IsString())
            text.code.assign(code->value.GetString(), code->value.GetStringLength());
        auto message = error->value.FindMember("message");
        if (message != error->value.MemberEnd()) {
            const rapidjson::Value* value = &message->value;
            if (value->IsObject() && value->HasMember("value")) value = &(*value)["value"];
            if (value->IsString()) text.message.assign(value->GetString(), value->GetStringLength());
        }
    } else if (body.find("<Error>") != std::string::npos) {
        text.code = xmlElement(body, "Code");
        text.message = xmlElement(body, "Message");
    }
    return text;
}

std::string firstLine(std::string text) {
    size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    return text;
}

}  // namespace

std::string errorCodeOf(const std::string& body) { return readErrorBody(body).code; }

std::string errorCodeOf(const AzureTableResponse& reply) {
    auto header = reply.headers.find("x-ms-error-code");
    if (header != reply.headers.end() && !header->second.empty()) return header->second;
    return errorCodeOf(reply.body);
}

int errorKindOfCode(const std::string& code) {
    // The Part's rules, applied to the code alone; 5 is not a kind.
    static const struct {
        const char* word;
        int kind;
    } kRules[] = {{"ThrottlingException", 2}, {"BeingDeleted", 3}, {"ResourceInUse", 6}, {"ResourceNotFound", 4}};
    if (code.empty()) return 1;
    for (const auto& rule : kRules)
        if (code.find(rule.word) != std::string::npos) return rule.kind;
    return 1;
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

std::string summarizeErrorBody(const std::string& body) {
    ErrorText text = readErrorBody(body);
    std::string summary;
    if (!text.code.empty() || !text.message.empty()) {
        summary = text.code + (text.code.empty() || text.message.empty() ? "" : ": ") + firstLine(text.message);
    } else {
        summary = body.size() > 300 ? body.substr(0, 300) + "..." : body;
        for (auto& c : summary)
            if (c == '\n' || c == '\r') c = ' ';
        if (summary.empty()) summary = "no reply body";
    }
    return platform::log::redact(summary);
}

}  // namespace table_service
