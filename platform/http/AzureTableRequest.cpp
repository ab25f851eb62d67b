#include "platform/http/AzureTableRequest.h"

std::string AzureTableRequest::url() const {
    std::string result = baseUrl + path;
    if (!query.empty()) {
        result += path.find('?') == std::string::npos ? '?' : '&';
        result += query;
    }
    return result;
}

std::string AzureTableRequest::toString() const {
    std::string text;
    text.reserve(256 + body.size());
    text += method;
    text += ' ';
    text += url();
    text += '\n';
    for (const auto& header : headers) {
        text += header.first;
        text += ": ";
        text += header.second;
        text += '\n';
    }
    text += '\n';
    text += body;
    text += '\n';
    return text;
}
