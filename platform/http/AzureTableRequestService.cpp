#include "platform/http/AzureTableRequestService.h"

#include <cctype>

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

// The client reads the next-page token from the JSON body; the service sends it as headers.
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

}  // namespace

AzureTableRequestService::AzureTableRequestService() : m_client(platform::http::makeHttpClient()) {}
AzureTableRequestService::~AzureTableRequestService() = default;

AzureTableResponse AzureTableRequestService::executeRequest(AzureTableRequest& request, unsigned int,
                                                            unsigned int timeoutMs) {
    platform::http::HttpExchange exchange;
    exchange.method = request.method;
    exchange.url = request.url();
    exchange.headers = request.headers;
    exchange.body = request.body;
    exchange.timeoutMs = timeoutMs;
    platform::http::HttpReply reply = m_client->send(exchange);

    AzureTableResponse response;
    response.status = reply.status;
    response.headers = std::move(reply.headers);
    response.body = reply.status == 0 ? "transport error: " + reply.transportError : std::move(reply.body);
    if (response.status == 200) foldContinuationIntoBody(response);
    return response;
}
