#pragma once
// The one seam under the Table service transport: a single HTTP exchange, no retries, no
// signing. The real one is libcurl (CurlHttpClient); tests install a scripted fake.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/util/Export.h"

namespace platform {
namespace http {

struct AZT_API HttpExchange {
    std::string method;
    std::string url;
    std::map<std::string, std::string> headers;
    std::string body;
    unsigned int timeoutMs = 60000;
};

struct AZT_API HttpReply {
    // 0 with `transportError` set when no HTTP reply arrived (connection refused, time-out, ...).
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string transportError;
    // For status 0: how much trying again can help. A name that does not resolve or a host that
    // refuses the connection is most often a wrong endpoint, so it is tried only a few times; a
    // malformed URL, an unsupported scheme or a certificate that fails verification never heals.
    enum class Failure { Transient, Unreachable, Final };
    Failure failure = Failure::Transient;
};

class AZT_API HttpClient {
public:
    virtual ~HttpClient() = default;
    // Performs one exchange. Thread-compatible: one client per thread (each transport owns one).
    virtual HttpReply send(const HttpExchange& exchange) = 0;
};

using HttpClientFactory = std::function<std::unique_ptr<HttpClient>()>;

// The default runtime's factory (platform::Runtime::makeHttpClient / setHttpClientFactory):
// makes the client a new transport uses, libcurl unless a factory was installed.
AZT_API std::unique_ptr<HttpClient> makeHttpClient();
// Installs `factory` for every transport created afterwards (empty = libcurl again).
AZT_API void setHttpClientFactory(HttpClientFactory factory);

}  // namespace http
}  // namespace platform
