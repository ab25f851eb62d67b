#include "platform/http/CurlHttpClient.h"
#include "platform/util/StopToken.h"
#include "platform/util/Text.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace http {
namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lower(std::string text) { return platform::text::toLower(std::move(text)); }

size_t onBody(char* data, size_t size, size_t count, void* user) {
    static_cast<HttpReply*>(user)->body.append(data, size * count);
    return size * count;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<HttpReply*>(user);
    const size_t length = size * count;
    const char* const begin = data;
    const char* const end = data + length;
    // A new status line starts a new header block (after "100 Continue", for instance).
    if (length >= 5 && std::memcmp(begin, "HTTP/", 5) == 0) {
        reply->headers.clear();
        return length;
    }
    const char* const colon = static_cast<const char*>(std::memchr(begin, ':', length));
    if (!colon) return length;
    // Name and value without the blanks around them, taken from the line where it stands.
    const char* nameBegin = begin;
    const char* nameEnd = colon;
    while (nameBegin < nameEnd && isBlank(*nameBegin)) ++nameBegin;
    while (nameEnd > nameBegin && isBlank(nameEnd[-1])) --nameEnd;
    if (nameBegin == nameEnd) return length;
    const char* valueBegin = colon + 1;
    const char* valueEnd = end;
    while (valueBegin < valueEnd && isBlank(*valueBegin)) ++valueBegin;
    while (valueEnd > valueBegin && isBlank(valueEnd[-1])) --valueEnd;
    std::string name = lower(std::string(nameBegin, nameEnd));
    std::string value(valueBegin, valueEnd);
    // A page is a few hundred kilobytes: taking it in one allocation spares the copies of a
    // growing string. What is reserved is capped, so a wrong length cannot claim much memory.
    if (name == "content-length") {
        static const unsigned long long kMaxReserve = 64ull << 20;
        unsigned long long contentLength = std::strtoull(value.c_str(), nullptr, 10);
        if (contentLength > 0 && contentLength <= kMaxReserve) reply->body.reserve(static_cast<size_t>(contentLength));
    }
    auto found = reply->headers.find(name);
    if (found == reply->headers.end())
        reply->headers.emplace(std::move(name), std::move(value));
    else
        found->second += ", " + value;
    return length;
}

// Called by libcurl about once a second even while nothing moves: a non-zero return abandons
// the transfer, so a stop request ends a wait for a reply that never comes.
int onProgress(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const platform::StopToken*>(stop)->stopRequested() ? 1 : 0;
}

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    bool add(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next) return false;
        list = next;
        return true;
    }
};

}  // namespace

CurlHttpClient::CurlHttpClient() : CurlHttpClient(platform::stopToken()) {}

CurlHttpClient::CurlHttpClient(const StopToken& stop) : m_stop(stop) { globalInit(); }

CurlHttpClient::~CurlHttpClient() {
    if (m_handle) curl_easy_cleanup(static_cast<CURL*>(m_handle));
}

HttpReply CurlHttpClient::send(const HttpExchange& exchange) {
    HttpReply reply;
    if (!m_handle) m_handle = curl_easy_init();
    CURL* curl = static_cast<CURL*>(m_handle);
    if (!curl) {
        reply.transportError = "cannot create an HTTP handle";
        return reply;
    }
    // Reset forgets the previous exchange's options but keeps the open connections.
    curl_easy_reset(curl);

    char errorBuffer[CURL_ERROR_SIZE] = {0};
    HeaderList headers;
    bool hasContentType = false;
    for (const auto& header : exchange.headers) {
        std::string name = lower(header.first);
        // libcurl computes the length from the body it is given; a second, stale one would
        // make the server wait for bytes that never come.
        if (name == "content-length" || name == "host") continue;
        if (name == "content-type") hasContentType = true;
        if (!headers.add(header.second.empty() ? header.first + ";" : header.first + ": " + header.second)) {
            reply.transportError = "out of memory building the request headers";
            return reply;
        }
    }
    // No "Expect: 100-continue" round trip; and no form content type on bodies that have none
    // (it would not match what was signed).
    headers.add("Expect:");
    if (!hasContentType) headers.add("Content-Type:");

    curl_easy_setopt(curl, CURLOPT_URL, exchange.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    long timeout = static_cast<long>(exchange.timeoutMs == 0 ? 60000 : exchange.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout, 30000L));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<StopToken*>(&m_stop));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

    const std::string& method = exchange.method.empty() ? std::string("GET") : exchange.method;
    if (method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        if (method == "POST" || method == "PUT" || method == "MERGE" || method == "PATCH" || !exchange.body.empty()) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(exchange.body.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, exchange.body.data());
        }
        if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    if (code == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    long connects = 0;
    if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK) m_connectionsOpened += connects;
    std::string curlMessage = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    // The handle outlives this call: it must not keep pointers into its stack and strings.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);

    if (code != CURLE_OK) {
        reply.status = 0;
        reply.headers.clear();
        reply.body.clear();
        while (!curlMessage.empty() && (curlMessage.back() == '\n' || curlMessage.back() == '\r')) curlMessage.pop_back();
        reply.transportError = curlMessage;
        switch (code) {
            case CURLE_ABORTED_BY_CALLBACK:
                reply.transportError = "stopped on request";
                reply.failure = HttpReply::Failure::Final;
                break;
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_RESOLVE_PROXY:
            case CURLE_COULDNT_CONNECT:
                reply.failure = HttpReply::Failure::Unreachable;
                break;
            case CURLE_UNSUPPORTED_PROTOCOL:
            case CURLE_URL_MALFORMAT:
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_OUT_OF_MEMORY:
                reply.failure = HttpReply::Failure::Final;
                break;
            default:
                break;
        }
        return reply;
    }
    reply.status = static_cast<int>(status);
    return reply;
}

}  // namespace http
}  // namespace platform
