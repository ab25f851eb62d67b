#pragma once
// Sends AzureTableRequests: signs each attempt (Shared Key, fresh date) and retries transient
// failures with backoff within an attempt limit and an overall deadline. It knows HTTP, not
// tables: replies come back as the server sent them (the Table service client reads them). One
// service per client; used by one thread at a time.
//
// A service works on one platform::Runtime: its HTTP client comes from the runtime's factory,
// every wait and every measure of elapsed time goes through the runtime's sleeper, the signing
// date is the runtime's wall clock, and once the runtime's stop token is set no further attempt
// starts. The access key is registered with the runtime's debug log as a secret; neither it nor
// a signature is ever put into a reply body or a log line.
#include <memory>
#include <random>

#include "platform/http/AzureTableRequest.h"
#include "platform/http/HttpClient.h"
#include "platform/http/SharedKey.h"
#include "platform/util/Export.h"

namespace platform {
class Runtime;
}

class AZT_API AzureTableRequestService {
public:
    // A service on the default runtime.
    AzureTableRequestService();
    // A service on `runtime` (which must outlive it), with a client from the runtime's factory.
    explicit AzureTableRequestService(platform::Runtime& runtime);
    // A service over the given client (tests wrap the real one, e.g. to count exchanges).
    explicit AzureTableRequestService(std::unique_ptr<platform::http::HttpClient> client);
    AzureTableRequestService(std::unique_ptr<platform::http::HttpClient> client, platform::Runtime& runtime);
    ~AzureTableRequestService();
    AzureTableRequestService(const AzureTableRequestService&) = delete;
    AzureTableRequestService& operator=(const AzureTableRequestService&) = delete;

    // maxAttempts: how many times a transient failure is tried in all (0 counts as 1);
    // timeoutMs: per attempt, cut to what is left of the runtime's request deadline.
    // Transient: no reply, 408, 429, 500 (on the emulator only with an error body), 503, and a
    // 200/201 to a JSON request whose body is not a JSON object (a reply cut short); everything
    // else is returned after the first attempt. Results that carry no HTTP reply have status 0,
    // an empty body and a failureCode with its failureMessage in words: "TransportError" (no
    // reply; the reason, and when the deadline ended it, what was waited for), "InvalidReply"
    // (the reply was not valid JSON), "OperationCancelled" (a stop was requested) or
    // "InvalidAccessKey". When every attempt got
    // a transient HTTP status the last reply is returned. `attempts` and
    // `earlierAttemptMayHaveLanded` say how the reply came about.
    // `request` itself is not changed: signing headers go only into what is sent.
    AzureTableResponse executeRequest(AzureTableRequest& request, unsigned int maxAttempts, unsigned int timeoutMs);

    // The "Date" of the most recent HTTP reply that carried a readable one, in seconds since
    // 1970 (the service's clock); 0 while no reply carried one.
    long long lastReplyTime() const { return m_lastReplyTime; }

    platform::Runtime& runtime() const { return m_runtime; }

private:
    // deadlineAt: a monotonicMs() value after which no attempt starts (0: none). `body` (the
    // request's) is lent to the exchanges and given back, unchanged, before it returns.
    AzureTableResponse sendWithRetries(const AzureTableRequest& request, std::string& body, unsigned int maxAttempts,
                                       unsigned int timeoutMs, unsigned long long deadlineAt);

    void debugLine(const std::string& message);

    platform::Runtime& m_runtime;
    std::unique_ptr<platform::http::HttpClient> m_client;
    platform::http::SharedKeySigner m_signer;
    std::minstd_rand m_random;
    long long m_lastReplyTime = 0;
    unsigned long long m_deadlineMs = 0;  // of the request under way
};

namespace platform {
namespace http {

// How long one executeRequest may take with all its retries, from its start. Each runtime has
// its own (platform::Runtime::setRequestDeadlineMs), read at the start of each request; 0 means
// no overall limit (only the attempt limit). The functions act on the default runtime's.
constexpr unsigned long long kDefaultRequestDeadlineMs = 180000;
AZT_API void setRequestDeadlineMs(unsigned long long milliseconds);
AZT_API unsigned long long requestDeadlineMs();

// An HTTP date in RFC 1123 form ("Sun, 06 Dec 2026 11:11:21 GMT") as seconds since 1970.
// False (and `seconds` unchanged) for anything else. Independent of the locale.
AZT_API bool parseHttpDate(const std::string& text, long long& seconds);

}  // namespace http
}  // namespace platform
