#include "platform/http/HttpClient.h"

#include "platform/runtime/Runtime.h"

namespace platform {
namespace http {

std::unique_ptr<HttpClient> makeHttpClient() { return defaultRuntime().makeHttpClient(); }

void setHttpClientFactory(HttpClientFactory factory) { defaultRuntime().setHttpClientFactory(std::move(factory)); }

}  // namespace http
}  // namespace platform
