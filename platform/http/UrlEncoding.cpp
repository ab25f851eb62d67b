#include "platform/http/UrlEncoding.h"

namespace platform {
namespace http {
namespace {

const char kHex[] = "0123456789ABCDEF";

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

void appendEscape(std::string& out, unsigned char c) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

}  // namespace

std::string percentEncode(const std::string& value) {
    std::string out;
    out.reserve(value.size() * 3);
    for (unsigned char c : value) {
        if (isUnreserved(c))
            out += static_cast<char>(c);
        else
            appendEscape(out, c);
    }
    return out;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2])) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string encodeIllegalUrlCharacters(const std::string& url) {
    std::string out;
    out.reserve(url.size() + 16);
    for (size_t i = 0; i < url.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(url[i]);
        bool illegal = c <= 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
                       c == '`' || c == '{' || c == '|' || c == '}' || c == '#';
        // A '#' would start a fragment that never reaches the server; the requests never carry one.
        if (c == '%') illegal = !(i + 2 < url.size() && isHexDigit(url[i + 1]) && isHexDigit(url[i + 2]));
        if (illegal)
            appendEscape(out, c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

}  // namespace http
}  // namespace platform
