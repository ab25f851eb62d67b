#pragma once
// A scripted HTTP transport: queue replies, run code, then assert on the recorded exchanges.
// Installing one (FakeTransportScope) routes every transport created afterwards to it.
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http/HttpClient.h"
#include "platform/runtime/Runtime.h"

namespace testing_support {

class FakeTransport {
public:
    using Responder = std::function<platform::http::HttpReply(const platform::http::HttpExchange&)>;

    // Queues one reply (consumed in order). Headers given as {"name","value"} pairs.
    void reply(int status, const std::string& body = "",
               std::vector<std::pair<std::string, std::string>> headers = {});
    // Queues a failed exchange (no HTTP reply at all).
    void fail(const std::string& transportError,
              platform::http::HttpReply::Failure failure = platform::http::HttpReply::Failure::Transient);
    // Answers every exchange for which no reply is queued (e.g. an in-memory service).
    void setResponder(Responder responder);

    std::vector<platform::http::HttpExchange> requests() const;
    platform::http::HttpExchange request(size_t index) const;
    size_t requestCount() const;
    void clearRequests();

    platform::http::HttpReply handle(const platform::http::HttpExchange& exchange);

private:
    mutable std::mutex m_mutex;
    std::deque<platform::http::HttpReply> m_replies;
    std::vector<platform::http::HttpExchange> m_requests;
    Responder m_responder;
};

// Installs a FakeTransport in a runtime (the default one unless given) for its lifetime, and
// restores the real transport afterwards.
class FakeTransportScope {
public:
    explicit FakeTransportScope(platform::Runtime& runtime = platform::defaultRuntime());
    ~FakeTransportScope();
    FakeTransport& operator*() { return *m_transport; }
    FakeTransport* operator->() { return m_transport.get(); }
    std::shared_ptr<FakeTransport> shared() { return m_transport; }

private:
    platform::Runtime& m_runtime;
    std::shared_ptr<FakeTransport> m_transport;
};

}  // namespace testing_support
