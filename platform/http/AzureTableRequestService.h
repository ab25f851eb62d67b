#pragma once
// Sends AzureTableRequests: signs each attempt (Shared Key, fresh date), retries transient
// failures with backoff, adapts emulator replies, and folds the continuation headers of a reply
// into its JSON body. One service per client; used by one thread at a time.
//
// Every wait goes through platform::sleeper(). The access key is registered with the debug log
// as a secret; neither it nor a signature is ever put into a reply body or a log line.
#include <memory>
#include <random>

#include "platform/http/AzureTableRequest.h"
#include "platform/http/HttpClient.h"
#include "platform/util/Export.h"

class AZT_API AzureTableRequestService {
public:
    AzureTableRequestService();
    // A service over the given client (tests wrap the real one, e.g. to count exchanges).
    explicit AzureTableRequestService(std::unique_ptr<platform::http::HttpClient> client);
    ~AzureTableRequestService();
    AzureTableRequestService(const AzureTableRequestService&) = delete;
    AzureTableRequestService& operator=(const AzureTableRequestService&) = delete;

    // maxAttempts: how many times a transient failure is tried in all (0 counts as 1);
    // timeoutMs: per attempt. Transient: no reply, 408, 429, 500 (not on the emulator), 503;
    // everything else is returned after the first attempt. When no attempt got an HTTP reply
    // the result has status 0 and an "odata.error" body with the code "TransportError" and the
    // reason; when every attempt got a transient status the last reply is returned.
    // `request` itself is not changed: signing headers go only into what is sent.
    AzureTableResponse executeRequest(AzureTableRequest& request, unsigned int maxAttempts, unsigned int timeoutMs);

private:
    AzureTableResponse sendWithRetries(const AzureTableRequest& request, unsigned int maxAttempts,
                                       unsigned int timeoutMs);

    std::unique_ptr<platform::http::HttpClient> m_client;
    std::minstd_rand m_random;
};

namespace platform {
namespace http {

// Copies the x-ms-continuation-NextPartitionKey/NextRowKey reply headers into the JSON object
// body as top-level string members of the same names (first in the object). Bodies that are
// not a JSON object are left alone.
AZT_API void foldContinuationIntoBody(AzureTableResponse& response);

// Emulator adapter for describing a table. The emulator answers GET Tables('t') with the
// table's entities, so a describe is sent as a filtered table query instead.
// True when `request` is a describe (GET of exactly Tables('<name>'), no query); `name` is set.
AZT_API bool isDescribeTableRequest(const AzureTableRequest& request, std::string& name);
// The filtered query that stands in for the describe: GET Tables?$filter=TableName eq '<name>'.
AZT_API AzureTableRequest describeAsTableQuery(const AzureTableRequest& describe, const std::string& name);
// Turns the query's reply into the service's reply to the describe: 200 with the table object
// ({"odata.metadata":".../$metadata#Tables/@Element","TableName":"<name>"}) or 404 with a
// "ResourceNotFound" error body. Other replies pass unchanged.
AZT_API AzureTableResponse describeReplyFromTableQuery(AzureTableResponse reply, const std::string& name);

// The "odata.error" JSON body the service sends, for errors made on this side.
AZT_API std::string odataErrorBody(const std::string& code, const std::string& message);

// One line for people out of an error reply: "<code>: <first line of the message>" from a JSON
// "odata.error" or an XML <Error> body, else the body cut short. Secrets are scrubbed.
AZT_API std::string summarizeErrorBody(const std::string& body);

}  // namespace http
}  // namespace platform
