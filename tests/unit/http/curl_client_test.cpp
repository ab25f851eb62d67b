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
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(m_listener, 4);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~LoopbackServer() {
        requests();
        ::close(m_listener);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

    void serve(std::vector<std::string> replies, std::function<void()> hold = nullptr) {
        m_thread = std::thread([this, replies, hold] {
            int connection = ::accept(m_listener, nullptr, nullptr);
            std::string buffer;
            for (const auto& reply : replies) {
                if (!readRequest(connection, buffer)) break;
                ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            if (hold && readRequest(connection, buffer)) {
                hold();
                while (readRequest(connection, buffer)) {
                }
            }
            ::close(connection);
        });
    }
    std::vector<std::string> requests() {
        if (m_thread.joinable()) m_thread.join();
        return m_requests;
    }

private:
    // Reads until the buffer holds a head and the body its Content-Length announces.
    bool readRequest(int connection, std::string& buffer) {
        char chunk[4096];
        size_t end, size;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos ||
               buffer.size() < (size = end + 4 + bodyLength(buffer, end))) {
            ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        m_requests.push_back(buffer.substr(0, size));
        buffer.erase(0, size);
        return true;
    }
    static size_t bodyLength(const std::string& buffer, size_t headEnd) {
        size_t at = buffer.find("Content-Length: ");
        return at < headEnd ? std::stoul(buffer.substr(at + 16)) : 0;
    }

    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
    std::vector<std::string> m_requests;
};

}  // namespace

TEST(CurlHttpClient, SendsTheExchangeAndCapturesTheReplyOnOneConnection) {
    LoopbackServer server;
    server.serve({"HTTP/1.1 201 Created\r\nContent-Length: 2\r\nX-MS-Continuation-NextRowKey: r1\r\n"
                  "Set-Thing: a\r\nSet-Thing: b\r\n\r\n{}",
                  "HTTP/1.1 204 No Content\r\n\r\n"});
    CurlHttpClient client;
    HttpExchange put;
    put.method = "PUT";
    put.url = server.url("/acct/t(PartitionKey='a',RowKey='b')");
    put.headers = {{"Content-Type", "application/json"}, {"Content-Length", "999"}, {"x-ms-version", "2019-02-02"}};
    put.body = "{\"v\":1}";
    HttpReply first = client.send(put);
    EXPECT_EQ(first.status, 201) << first.transportError;
    EXPECT_EQ(first.body, "{}");
    EXPECT_EQ(first.headers["x-ms-continuation-nextrowkey"], "r1");
    EXPECT_EQ(first.headers["set-thing"], "a, b");
    HttpExchange remove;
    remove.method = "DELETE";
    remove.url = server.url("/acct/Tables('t')");
    HttpReply second = client.send(remove);
    EXPECT_EQ(second.status, 204) << second.transportError;
    EXPECT_TRUE(second.body.empty());
    EXPECT_EQ(client.connectionsOpened(), 1);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rfind("PUT /acct/t(PartitionKey='a',RowKey='b') HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("Content-Length: 7\r\n"), std::string::npos) << requests[0];  // not the stale 999
    EXPECT_EQ(requests[0].find("Expect:"), std::string::npos);
    EXPECT_NE(requests[0].find("x-ms-version: 2019-02-02\r\n"), std::string::npos);
    EXPECT_EQ(requests[0].substr(requests[0].size() - 7), "{\"v\":1}");
    EXPECT_EQ(requests[1].rfind("DELETE /acct/Tables('t') HTTP/1.1\r\n", 0), 0u) << requests[1];
    EXPECT_EQ(requests[1].find("Content-Type"), std::string::npos) << requests[1];
    HttpExchange file;
    file.url = "file:///etc/passwd";  // only http and https are spoken
    HttpReply refused = client.send(file);
    EXPECT_EQ(refused.status, 0);
    EXPECT_TRUE(refused.body.empty());
    EXPECT_FALSE(refused.transportError.empty());
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

    LoopbackServer held, direct;
    held.serve({}, [&] { stop.requestStop(); });
    EXPECT_LT(secondsToSend(held.url("/acct/")), 1.8);
    EXPECT_EQ(response.failureCode, "OperationCancelled");
    platform::stopToken().reset();
    direct.serve({}, [&] { stop.requestStop(); });
    HttpExchange get;
    get.url = direct.url("/acct/Tables");
    HttpReply reply = CurlHttpClient().send(get);
    EXPECT_EQ(reply.transportError, "stopped on request");
    EXPECT_EQ(reply.failure, HttpReply::Failure::Final);
}
