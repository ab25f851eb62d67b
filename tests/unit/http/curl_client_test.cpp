// The libcurl client against a one-shot HTTP server on the loopback interface.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/http/AzureTableRequestService.h"
#include "platform/http/CurlHttpClient.h"
#include "platform/util/StopToken.h"
#include "tests/support/FakeSleeper.h"

using platform::http::CurlHttpClient;
using platform::http::HttpExchange;
using platform::http::HttpReply;

namespace {

// Listens on 127.0.0.1. serve() takes one connection, answers its requests with the canned
// replies in order and records them; then, given `hold`, reads one more request, runs `hold`
// and keeps the connection open, unanswered, until the client goes.
class LoopbackServer {
public:
    LoopbackServer() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(m_listener, 4);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~LoopbackServer() { requests(); ::close(m_listener); }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    void serve(std::vector<std::string> replies, std::function<void()> hold = nullptr) {
        m_thread = std::thread([this, replies, hold] {
            int connection = ::accept(m_listener, nullptr, nullptr);
            for (const auto& reply : replies) {
                if (!readRequest(connection)) break;
                ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            if (hold && readRequest(connection)) {
                hold();
                while (readRequest(connection)) continue;
            }
            ::close(connection);
        });
    }
    std::vector<std::string> requests() {
        if (m_thread.joinable()) m_thread.join();
        return m_requests;
    }

private:
    // The size of the first whole request in the buffer (a head and the body its Content-Length
    // announces), 0 while there is none.
    size_t whole() const {
        size_t end = m_buffer.find("\r\n\r\n"), at = m_buffer.find("Content-Length: ");
        if (end == std::string::npos) return 0;
        size_t size = end + 4 + (at < end ? std::stoul(m_buffer.substr(at + 16)) : 0);
        return size <= m_buffer.size() ? size : 0;
    }
    bool readRequest(int connection) {
        char chunk[4096];
        for (ssize_t n; whole() == 0; m_buffer.append(chunk, static_cast<size_t>(n)))
            if ((n = ::recv(connection, chunk, sizeof chunk, 0)) <= 0) return false;
        m_requests.push_back(m_buffer.substr(0, whole()));
        m_buffer.erase(0, m_requests.back().size());
        return true;
    }

    int m_listener = ::socket(AF_INET, SOCK_STREAM, 0), m_port = 0;
    std::thread m_thread;
    std::string m_buffer;
    std::vector<std::string> m_requests;
};

}  // namespace

TEST(CurlHttpClient, SendsTheExchangeAndCapturesTheReplyOnOneConnection) {
    LoopbackServer server;
    server.serve({"HTTP/1.1 201 Created\r\nContent-Length: 2\r\nX-MS-Continuation-NextRowKey: r1\r\n"
                  "Set-Thing: a\r\nSet-Thing: b\r\n\r\n{}",
                  "HTTP/1.1 204 No Content\r\n\r\n"});
    CurlHttpClient client;
    HttpReply first = client.send({"PUT", server.url("/acct/t(PartitionKey='a',RowKey='b')"),
                                   {{"Content-Type", "application/json"}, {"Content-Length", "999"}, {"x-ms-version", "2019"}},
                                   "{\"v\":1}"});
    EXPECT_EQ(std::to_string(first.status) + first.body, "201{}") << first.transportError;
    EXPECT_EQ(first.headers["x-ms-continuation-nextrowkey"], "r1");
    EXPECT_EQ(first.headers["set-thing"], "a, b");
    HttpReply second = client.send({"DELETE", server.url("/acct/Tables('t')"), {}, ""});
    EXPECT_EQ(std::to_string(second.status) + second.body, "204") << second.transportError;
    EXPECT_EQ(client.connectionsOpened(), 1);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rfind("PUT /acct/t(PartitionKey='a',RowKey='b') HTTP/1.1\r\n", 0), 0u) << requests[0];
    for (const char* line : {"\r\nContent-Length: 7\r\n", "\r\nx-ms-version: 2019\r\n"})  // not the stale 999
        EXPECT_NE(requests[0].find(line), std::string::npos) << requests[0];
    EXPECT_EQ(requests[0].find("Expect:"), std::string::npos);
    EXPECT_EQ(requests[0].substr(requests[0].size() - 7), "{\"v\":1}");
    EXPECT_EQ(requests[1].rfind("DELETE /acct/Tables('t') HTTP/1.1\r\n", 0), 0u) << requests[1];
    EXPECT_EQ(requests[1].find("Content-Type"), std::string::npos) << requests[1];
    HttpReply refused = client.send({"GET", "file:///etc/passwd", {}, ""});  // only http and https are spoken
    EXPECT_TRUE(refused.status == 0 && refused.body.empty() && !refused.transportError.empty());
}

// An endpoint that takes the request and never answers: the request's deadline ends the wait,
// and so does a stop, for the request with its retries (service) and the exchange (client).
TEST(CurlHttpClient, AStopOrTheDeadlineEndsAWaitForAReplyThatNeverComes) {
    testing_support::StopTokenScope stop;
    AzureTableResponse response;
    auto secondsToSend = [&response](const std::string& baseUrl) {
        AzureTableRequest request;
        request.method = "GET";
        request.baseUrl = baseUrl;
        request.path = "Tables";
        request.signing = {"acct", "a2V5", false};
        auto start = std::chrono::steady_clock::now();
        response = AzureTableRequestService().executeRequest(request, 50, 60000);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    LoopbackServer silent;  // never accepts: the connection waits in the backlog
    platform::http::setRequestDeadlineMs(600);
    EXPECT_LT(secondsToSend(silent.url("/acct/")), 1.5);
    platform::http::setRequestDeadlineMs(platform::http::kDefaultRequestDeadlineMs);
    EXPECT_NE(response.failureMessage.find("no reply from 127.0.0.1:"), std::string::npos) << response.failureMessage;
    EXPECT_NE(response.failureMessage.find("within 0.6 s (1 attempt; last: Operation timed out"), std::string::npos);

    LoopbackServer held;
    held.serve({}, [&] { stop.requestStop(); });
    EXPECT_LT(secondsToSend(held.url("/acct/")), 1.8);
    EXPECT_EQ(response.failureCode, "OperationCancelled");
}
