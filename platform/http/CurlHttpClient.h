#pragma once
// The real HttpClient: one libcurl easy handle per client, reused for every exchange so the
// connection to the service stays open between requests (keep-alive). A client is used by one
// thread at a time; different clients may run in parallel. No redirects are followed, only
// http and https are spoken, and an exchange that yields no HTTP reply comes back as status 0
// with curl's reason in transportError. A stop request on the client's stop token (its runtime's)
// abandons an exchange in flight within about a second ("stopped on request", a final failure).
#include "platform/http/HttpClient.h"
#include "platform/util/Export.h"
#include "platform/util/StopToken.h"

namespace platform {
namespace http {

class AZT_API CurlHttpClient : public HttpClient {
public:
    // Watches the default runtime's stop token.
    CurlHttpClient();
    // Watches `stop`, which must outlive the client.
    explicit CurlHttpClient(const StopToken& stop);
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    HttpReply send(const HttpExchange& exchange) override;
    // How many connections this client has opened so far (1 while keep-alive holds).
    long connectionsOpened() const { return m_connectionsOpened; }

private:
    const StopToken& m_stop;
    void* m_handle = nullptr;  // CURL*, created on first use
    long m_connectionsOpened = 0;
};

}  // namespace http
}  // namespace platform
