#include "platform/http/SharedKey.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/crypto.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <cctype>
#include <cstdio>

#include "platform/util/Text.h"

namespace platform {
namespace http {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

void setHeader(std::map<std::string, std::string>& headers, const std::string& name, const std::string& value) {
    eraseHeader(headers, name);
    headers[name] = value;
}

}  // namespace

bool base64Decode(const std::string& text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return false;  // data after '='
            v[k] = base64Value(c);
            if (v[k] < 0) return false;
        }
        unsigned int group = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        bytes += static_cast<char>((group >> 16) & 0xff);
        if (padding < 2) bytes += static_cast<char>((group >> 8) & 0xff);
        if (padding < 1) bytes += static_cast<char>(group & 0xff);
    }
    return true;
}

std::string base64Encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned int group = (static_cast<unsigned char>(bytes[i]) << 16) |
                             (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += kAlphabet[(group >> 6) & 63];
        out += kAlphabet[group & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned int group = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string hmacSha256(const std::string& key, const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), digest, &length);
    std::string result(reinterpret_cast<const char*>(digest), length);
    OPENSSL_cleanse(digest, sizeof digest);
    return result;
}

std::string rfc1123Date(std::time_t time) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday % 7], utc.tm_mday,
                  months[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string canonicalizedResource(const std::string& accountName, const std::string& url) {
    std::string path = "/";
    std::string query;
    size_t scheme = url.find("://");
    size_t pathStart = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    size_t queryStart = url.find('?', scheme == std::string::npos ? 0 : scheme + 3);
    if (pathStart != std::string::npos && (queryStart == std::string::npos || pathStart < queryStart))
        path = url.substr(pathStart, queryStart == std::string::npos ? std::string::npos : queryStart - pathStart);
    if (queryStart != std::string::npos) query = url.substr(queryStart + 1);

    std::string resource = "/" + accountName + path;
    size_t from = 0;
    while (from <= query.size()) {
        size_t end = query.find('&', from);
        if (end == std::string::npos) end = query.size();
        std::string parameter = query.substr(from, end - from);
        size_t equals = parameter.find('=');
        if (equals != std::string::npos && platform::text::equalsIgnoreCase(parameter.substr(0, equals), "comp")) {
            resource += "?comp=" + parameter.substr(equals + 1);
            break;
        }
        from = end + 1;
    }
    return resource;
}

std::string sharedKeyStringToSign(const std::string& method, const std::string& contentMd5,
                                  const std::string& contentType, const std::string& date,
                                  const std::string& canonicalizedResource) {
    return method + "\n" + contentMd5 + "\n" + contentType + "\n" + date + "\n" + canonicalizedResource;
}

std::string sharedKeyLiteStringToSign(const std::string& date, const std::string& canonicalizedResource) {
    return date + "\n" + canonicalizedResource;
}

std::string headerValue(const std::map<std::string, std::string>& headers, const std::string& name) {
    for (const auto& header : headers)
        if (platform::text::equalsIgnoreCase(header.first, name)) return header.second;
    return "";
}

void eraseHeader(std::map<std::string, std::string>& headers, const std::string& name) {
    for (auto it = headers.begin(); it != headers.end();) {
        if (platform::text::equalsIgnoreCase(it->first, name))
            it = headers.erase(it);
        else
            ++it;
    }
}

namespace {

// Dates the request (x-ms-date, which the service reads, and Date with the same value, so that
// whichever the signature check picks matches), drops an old Authorization and returns the
// string the Shared Key signature covers.
std::string datedStringToSign(std::map<std::string, std::string>& headers, const std::string& method,
                              const std::string& url, const AzureTableSigningInfo& signing, std::time_t now) {
    const std::string date = rfc1123Date(now);
    setHeader(headers, "x-ms-date", date);
    setHeader(headers, "Date", date);
    eraseHeader(headers, "Authorization");
    return sharedKeyStringToSign(method, headerValue(headers, "Content-MD5"), headerValue(headers, "Content-Type"),
                                 date, canonicalizedResource(signing.accountName, url));
}

}  // namespace

bool signRequest(std::map<std::string, std::string>& headers, const std::string& method, const std::string& url,
                 const AzureTableSigningInfo& signing, std::time_t now, std::string* error) {
    std::string key;
    if (!signing.accessKey.empty() && !base64Decode(signing.accessKey, key)) {
        if (error) *error = "the access key of account '" + signing.accountName + "' is not valid base64";
        return false;
    }
    const std::string toSign = datedStringToSign(headers, method, url, signing, now);
    if (signing.accessKey.empty()) return true;
    headers["Authorization"] = "SharedKey " + signing.accountName + ":" + base64Encode(hmacSha256(key, toSign));
    OPENSSL_cleanse(&key[0], key.size());
    return true;
}


struct SharedKeySigner::State {
    std::string accessKey;  // the key `mac` holds, as given (base64)
    EVP_MAC* hmac = nullptr;
    EVP_MAC_CTX* mac = nullptr;

    ~State() { forget(); }
    void forget() {
        if (mac) EVP_MAC_CTX_free(mac);
        if (hmac) EVP_MAC_free(hmac);
        mac = nullptr;
        hmac = nullptr;
        if (!accessKey.empty()) OPENSSL_cleanse(&accessKey[0], accessKey.size());
        accessKey.clear();
    }
    // Keys the HMAC with `key` (decoded); false when OpenSSL cannot.
    bool prepare(const std::string& encoded, const std::string& key) {
        forget();
        hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        mac = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
        char digest[] = "SHA256";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
        if (!mac || !EVP_MAC_init(mac, reinterpret_cast<const unsigned char*>(key.data()), key.size(), params)) {
            forget();
            return false;
        }
        accessKey = encoded;
        return true;
    }
    // The HMAC-SHA256 of `message` under the prepared key, in `digest` (32 bytes); false on failure.
    bool sign(const std::string& message, unsigned char* digest, size_t& length) {
        return EVP_MAC_init(mac, nullptr, 0, nullptr) &&
               EVP_MAC_update(mac, reinterpret_cast<const unsigned char*>(message.data()), message.size()) &&
               EVP_MAC_final(mac, digest, &length, EVP_MAX_MD_SIZE);
    }
};

SharedKeySigner::SharedKeySigner() : m_state(new State) {}
SharedKeySigner::~SharedKeySigner() = default;

bool SharedKeySigner::sign(std::map<std::string, std::string>& headers, const std::string& method,
                           const std::string& url, const AzureTableSigningInfo& signing, std::time_t now,
                           std::string* error) {
    State& state = *m_state;
    if (signing.accessKey.empty() || signing.accessKey != state.accessKey) {
        std::string key;
        if (!signing.accessKey.empty()) {
            if (!base64Decode(signing.accessKey, key)) {
                if (error) *error = "the access key of account '" + signing.accountName + "' is not valid base64";
                return false;
            }
            const bool prepared = state.prepare(signing.accessKey, key);
            OPENSSL_cleanse(&key[0], key.size());
            // Without a keyed HMAC ready, the one-shot path signs (and fails as it would).
            if (!prepared) return signRequest(headers, method, url, signing, now, error);
        }
    }
    const std::string toSign = datedStringToSign(headers, method, url, signing, now);
    if (signing.accessKey.empty()) return true;
    unsigned char digest[EVP_MAX_MD_SIZE];
    size_t length = 0;
    if (!state.sign(toSign, digest, length)) {
        state.forget();
        return signRequest(headers, method, url, signing, now, error);
    }
    headers["Authorization"] = "SharedKey " + signing.accountName + ":" +
                               base64Encode(std::string(reinterpret_cast<const char*>(digest), length));
    OPENSSL_cleanse(digest, sizeof digest);
    return true;
}

}  // namespace http
}  // namespace platform
