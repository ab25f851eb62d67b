#include "platform/http/HttpClient.h"

#include <mutex>

namespace platform {
namespace http {
namespace {

std::mutex g_mutex;
HttpClientFactory g_factory;

class UnavailableClient : public HttpClient {
public:
    HttpReply send(const HttpExchange&) override {
        HttpReply reply;
        reply.transportError = "no HTTP client available";
        return reply;
    }
};

}  // namespace

std::unique_ptr<HttpClient> makeHttpClient() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_factory) return g_factory();
    }
    return std::make_unique<UnavailableClient>();  // replaced by the libcurl client
}

void setHttpClientFactory(HttpClientFactory factory) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_factory = std::move(factory);
}

}  // namespace http
}  // namespace platform
