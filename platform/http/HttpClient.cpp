#include "platform/http/HttpClient.h"

#include <mutex>

#include "platform/http/CurlHttpClient.h"

namespace platform {
namespace http {
namespace {

std::mutex g_mutex;
HttpClientFactory g_factory;

}  // namespace

std::unique_ptr<HttpClient> makeHttpClient() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_factory) return g_factory();
    }
    return std::make_unique<CurlHttpClient>();
}

void setHttpClientFactory(HttpClientFactory factory) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_factory = std::move(factory);
}

}  // namespace http
}  // namespace platform
