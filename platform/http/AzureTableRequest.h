#pragma once
// One request to the Table service, as the request builder prepares it and the client fills it.
// The final URL is baseUrl + path, then query after "?" (or "&" when path already has a query).
// Signing happens at send time (AzureTableRequestService), never here.
#include <functional>
#include <map>
#include <string>

#include "platform/util/Export.h"

struct AZT_API AzureTableSigningInfo {
    std::string accountName;
    std::string accessKey;  // never logged, never rendered by toString()
    bool pathStyle = false;  // emulator-style URL: the account is the first path component
};

class AZT_API AzureTableRequest {
public:
    std::string method;   // GET, POST, PUT, DELETE
    std::string baseUrl;  // account endpoint, always ending in "/"
    std::string path;
    std::string query;
    std::string body;
    std::map<std::string, std::string> headers;
    AzureTableSigningInfo signing;
    // For a caller that parses the reply anyway: reads the body of a 200/201 reply to a JSON
    // request in place of the transport's own check that it is one JSON object, so the body is
    // parsed once. False means it is not (a reply cut short), and the attempt is retried like any
    // such reply. Called on the sending thread for each such reply, the returned one last.
    std::function<bool(const std::string& body)> readJsonReply;

    // baseUrl + path, then "?" or "&" + query when query is not empty.
    std::string url() const;
    // The request as HTTP text: "<method> <url>\n", one "Name: value\n" per header, "\n", the
    // body and a final "\n". Used for the operations inside a batch.
    std::string toString() const;
};

struct AZT_API AzureTableResponse {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    // How many attempts were sent for this reply (0: none, e.g. the key could not sign).
    unsigned attempts = 0;
    // True when an attempt before the last one may have been carried out by the service (its
    // reply was lost, timed out, was a 408/500/503, or was unreadable). A retried create answered
    // "already exists", or a retried delete answered "not found", then most likely succeeded.
    bool earlierAttemptMayHaveLanded = false;
    // Set when no usable HTTP reply came (status 0; the body is then empty): a short code
    // ("TransportError", "InvalidReply", "OperationCancelled", "InvalidAccessKey") and what
    // happened, in words, free of secrets.
    std::string failureCode;
    std::string failureMessage;
};
