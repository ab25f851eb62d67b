#pragma once
// A scripted HTTP transport: queue replies, run code, then assert on the recorded exchanges.
// Installing one (FakeTransportScope) routes every transport created afterwards to it.
// Any thread may send through it; replies are consumed in the order they were queued.
#include <cctype>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http/HttpClient.h"
#include "platform/runtime/Runtime.h"

namespace testing_support {

inline platform::http::HttpReply httpReply(int status, const std::string& body = "") {
    platform::http::HttpReply r;
    r.status = status;
    r.body = body;
    return r;
}

class FakeTransport {
public:
    using HttpExchange = platform::http::HttpExchange;
    using HttpReply = platform::http::HttpReply;
    using Responder = std::function<HttpReply(const HttpExchange&)>;

    // Queues one reply (consumed in order). Headers given as {"name","value"} pairs.
    void reply(int status, const std::string& body = "", std::vector<std::pair<std::string, std::string>> headers = {}) {
        HttpReply r = httpReply(status, body);
        for (auto& h : headers) {
            for (auto& c : h.first) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            r.headers[h.first] = h.second;
        }
        push(std::move(r));
    }
    // Queues a failed exchange (no HTTP reply at all).
    void fail(const std::string& transportError, HttpReply::Failure failure = HttpReply::Failure::Transient) {
        HttpReply r;
        r.transportError = transportError;
        r.failure = failure;
        push(std::move(r));
    }
    // Answers every exchange for which no reply is queued (e.g. an in-memory service).
    void setResponder(Responder responder) { std::lock_guard<std::mutex> l(m_mutex); m_responder = std::move(responder); }

    std::vector<HttpExchange> requests() const { std::lock_guard<std::mutex> l(m_mutex); return m_requests; }
    HttpExchange request(size_t index) const {
        std::lock_guard<std::mutex> l(m_mutex);
        return index < m_requests.size() ? m_requests[index] : HttpExchange{};
    }
    size_t requestCount() const { std::lock_guard<std::mutex> l(m_mutex); return m_requests.size(); }
    void clearRequests() { std::lock_guard<std::mutex> l(m_mutex); m_requests.clear(); }

    HttpReply handle(const HttpExchange& exchange) {
        std::unique_lock<std::mutex> l(m_mutex);
        m_requests.push_back(exchange);
        if (!m_replies.empty()) {
            HttpReply r = std::move(m_replies.front());
            m_replies.pop_front();
            return r;
        }
        Responder responder = m_responder;
        l.unlock();  // a responder may take its time, or send again
        return responder ? responder(exchange) : httpReply(599, "{\"odata.error\":{\"code\":\"NoScriptedReply\"}}");
    }

private:
    void push(HttpReply r) { std::lock_guard<std::mutex> l(m_mutex); m_replies.push_back(std::move(r)); }

    mutable std::mutex m_mutex;
    std::deque<HttpReply> m_replies;
    std::vector<HttpExchange> m_requests;
    Responder m_responder;
};

// Installs a FakeTransport in a runtime (the default one unless given) for its lifetime, and
// restores the real transport afterwards.
class FakeTransportScope {
public:
    explicit FakeTransportScope(platform::Runtime& runtime = platform::defaultRuntime()) : m_runtime(runtime) {
        auto transport = m_transport;
        m_runtime.setHttpClientFactory([transport] { return std::make_unique<Forwarding>(transport); });
    }
    ~FakeTransportScope() { m_runtime.setHttpClientFactory(nullptr); }
    FakeTransport& operator*() { return *m_transport; }
    FakeTransport* operator->() { return m_transport.get(); }

private:
    struct Forwarding : platform::http::HttpClient {
        explicit Forwarding(std::shared_ptr<FakeTransport> t) : transport(std::move(t)) {}
        platform::http::HttpReply send(const platform::http::HttpExchange& e) override { return transport->handle(e); }
        std::shared_ptr<FakeTransport> transport;
    };
    platform::Runtime& m_runtime;
    std::shared_ptr<FakeTransport> m_transport = std::make_shared<FakeTransport>();
};

}  // namespace testing_support
