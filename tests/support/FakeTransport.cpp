#include "FakeTransport.h"

#include <algorithm>
#include <cctype>

namespace testing_support {

using platform::http::HttpExchange;
using platform::http::HttpReply;

void FakeTransport::reply(int status, const std::string& body,
                          std::vector<std::pair<std::string, std::string>> headers) {
    HttpReply r;
    r.status = status;
    r.body = body;
    for (auto& h : headers) {
        std::string name = h.first;
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        r.headers[name] = h.second;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(std::move(r));
}

void FakeTransport::fail(const std::string& transportError, HttpReply::Failure failure) {
    HttpReply r;
    r.transportError = transportError;
    r.failure = failure;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(std::move(r));
}

void FakeTransport::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
}

std::vector<HttpExchange> FakeTransport::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

HttpExchange FakeTransport::request(size_t index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_requests.size() ? m_requests[index] : HttpExchange{};
}

size_t FakeTransport::requestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

void FakeTransport::clearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

HttpReply FakeTransport::handle(const HttpExchange& exchange) {
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(exchange);
        if (!m_replies.empty()) {
            HttpReply r = std::move(m_replies.front());
            m_replies.pop_front();
            return r;
        }
        responder = m_responder;
    }
    if (responder) return responder(exchange);
    HttpReply r;
    r.status = 599;
    r.body = "{\"odata.error\":{\"code\":\"NoScriptedReply\"}}";
    return r;
}

namespace {

class ForwardingClient : public platform::http::HttpClient {
public:
    explicit ForwardingClient(std::shared_ptr<FakeTransport> transport) : m_transport(std::move(transport)) {}
    HttpReply send(const HttpExchange& exchange) override { return m_transport->handle(exchange); }

private:
    std::shared_ptr<FakeTransport> m_transport;
};

}  // namespace

FakeTransportScope::FakeTransportScope(platform::Runtime& runtime)
    : m_runtime(runtime), m_transport(std::make_shared<FakeTransport>()) {
    auto transport = m_transport;
    m_runtime.setHttpClientFactory([transport] { return std::make_unique<ForwardingClient>(transport); });
}

FakeTransportScope::~FakeTransportScope() { m_runtime.setHttpClientFactory(nullptr); }

}  // namespace testing_support
