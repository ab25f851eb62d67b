// The transport against the emulator, through the real libcurl client: raw requests built by
// CAzureTableStorageInfo and sent by AzureTableRequestService.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/http/CAzureTableStorageInfo.h"
#include "platform/http/CurlHttpClient.h"
#include "table_service/AzureTableStorage.h"
#include "tests/support/Emulator.h"
#include "tests/support/FakeSleeper.h"
#include "tests/support/MemoryEnvironment.h"

using platform::http::CurlHttpClient;
using platform::http::HttpExchange;
using platform::http::HttpReply;

namespace {

// The account's request builder with its transport opened up for the tests.
class RawAccount : public CAzureTableStorageInfo {
public:
    RawAccount(IdaEnvironment& environment, const AzureTableCredentials& credentials)
        : CAzureTableStorageInfo(environment, 32) {
        Connect(credentials.accountName, credentials.accountUrl, credentials.accessKey);
    }
    AzureTableResponse send(AzureTableRequest request, unsigned int attempts = 50) {
        return requestService.executeRequest(request, attempts, 60000);
    }
    AzureTableResponse describeTable(const std::string& name) {
        AzureTableRequest request = baseRequest("");
        request.path = "Tables('" + name + "')";
        return send(request);
    }
};

// Counts the exchanges that reach the real client.
struct ExchangeCounter {
    std::atomic<int> exchanges{0};
    std::atomic<long> connections{0};
};

class CountingClient : public platform::http::HttpClient {
public:
    explicit CountingClient(ExchangeCounter* counter) : m_counter(counter) {}
    ~CountingClient() override { m_counter->connections += m_real.connectionsOpened(); }
    HttpReply send(const HttpExchange& exchange) override {
        ++m_counter->exchanges;
        return m_real.send(exchange);
    }

private:
    ExchangeCounter* m_counter;
    CurlHttpClient m_real;
};

class CountingScope {
public:
    CountingScope() {
        ExchangeCounter* counter = &m_counter;
        platform::http::setHttpClientFactory([counter] { return std::make_unique<CountingClient>(counter); });
    }
    ~CountingScope() { platform::http::setHttpClientFactory(nullptr); }
    ExchangeCounter& operator*() { return m_counter; }
    ExchangeCounter* operator->() { return &m_counter; }

private:
    ExchangeCounter m_counter;
};

// A loopback port on which nothing listens.
int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class TransportTest : public testing_support::EmulatorTest {
protected:
    testing_support::MemoryEnvironment environment;
};

}  // namespace

TEST_F(TransportTest, ConnectionIsKeptAliveBetweenRequests) {
    CountingScope counting;
    {
        RawAccount account(environment, credentials);
        std::vector<std::string> tables;
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(account.queryTables(tables));
    }
    EXPECT_EQ(counting->exchanges.load(), 5);
    EXPECT_EQ(counting->connections.load(), 1);
}

TEST_F(TransportTest, WrongKeyFailsClearlyAfterOneRequest) {
    CountingScope counting;
    testing_support::FakeSleeperScope sleeper;
    AzureTableCredentials wrong = credentials;
    wrong.accessKey = "d3Jvbmcta2V5LXdyb25nLWtleQ==";
    RawAccount account(environment, wrong);
    AzureTableResponse response = account.describeTable("anything");
    EXPECT_EQ(response.status, 403);
    EXPECT_NE(response.body.find("authenticate"), std::string::npos) << response.body;
    EXPECT_EQ(response.body.find(wrong.accessKey), std::string::npos);
    EXPECT_EQ(counting->exchanges.load(), 1);
    EXPECT_TRUE(sleeper->sleeps().empty());

    std::vector<std::string> tables;
    std::string error;
    EXPECT_FALSE(account.queryTables(tables, &error));
    EXPECT_NE(error.find("HTTP 403"), std::string::npos) << error;
    EXPECT_EQ(counting->exchanges.load(), 2);

    // The client above the transport reports it as a plain failure, again after one request.
    auto outcome = AzureTableStorage(wrong, environment).describeTable("anything");
    EXPECT_EQ(outcome.errorKind, Failed);
    EXPECT_NE(outcome.errorMessage.find("AuthorizationFailure"), std::string::npos) << outcome.errorMessage;
    EXPECT_EQ(counting->exchanges.load(), 3);
    EXPECT_TRUE(sleeper->sleeps().empty());
}

TEST_F(TransportTest, UnreachableServiceIsATransportErrorAfterEveryAttempt) {
    testing_support::FakeSleeperScope sleeper;
    AzureTableCredentials nowhere = credentials;
    nowhere.accountUrl = "http://127.0.0.1:" + std::to_string(closedPort()) + "/" + credentials.accountName;
    RawAccount account(environment, nowhere);
    AzureTableRequest request = account.baseRequest("");
    request.path = "Tables";
    AzureTableResponse response = account.send(request, 3);
    EXPECT_EQ(response.status, 0);
    EXPECT_NE(response.body.find("TransportError"), std::string::npos) << response.body;
    EXPECT_NE(response.body.find("after 3 attempts"), std::string::npos) << response.body;
    EXPECT_EQ(sleeper->sleeps().size(), 2u);
}

