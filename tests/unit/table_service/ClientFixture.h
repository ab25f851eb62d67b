#pragma once
// A client wired to a scripted transport, a recording sleeper and an in-memory environment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FakeSleeper.h"
#include "support/FakeTransport.h"
#include "support/MemoryEnvironment.h"
#include "table_service/AzureTableStorage.h"

namespace table_service_test {

// Service-style (not path-style), so the transport sends the client's requests as they are.
inline const std::string kBase = "http://127.0.0.1:10002/";

// The service's JSON error body with `code`.
inline std::string errorBody(const std::string& code) { return "{\"odata.error\":{\"code\":\"" + code + "\"}}"; }

class ClientTest : public ::testing::Test {
protected:
    static AzureTableCredentials credentialsFor(const std::string& url) {
        AzureTableCredentials credentials;
        credentials.accountName = "devstoreaccount1";
        credentials.accountUrl = url;
        credentials.accessKey = "a2V5";
        return credentials;
    }
    // The transport must be installed before the clients build their own.
    testing_support::FakeTransportScope transport;
    testing_support::FakeSleeperScope sleeper;
    testing_support::MemoryEnvironment env{"job"};
    AzureTableCredentials credentials = credentialsFor("http://127.0.0.1:10002"),
                          pathStyle = credentialsFor(kBase + "devstoreaccount1");  // the account in the path
    AzureTableStorage client{credentials, env}, emulator{pathStyle, env};

    // Answers every exchange for which no reply is queued.
    void answerAlways(int status, const std::string& body, std::map<std::string, std::string> headers = {}) {
        transport->setResponder([=](const platform::http::HttpExchange&) {
            platform::http::HttpReply reply = testing_support::httpReply(status, body);
            reply.headers = headers;
            return reply;
        });
    }
    std::string lastUrl() { return transport->request(transport->requestCount() - 1).url; }
    std::vector<std::string> messages(const std::string& function) const { return env.messagesOf(function); }
};

}  // namespace table_service_test
