#pragma once
// Sends AzureTableRequests: signs each attempt (Shared Key, fresh date), retries transient
// failures with backoff, adapts emulator replies, and folds the continuation headers of a reply
// into its JSON body. One service per client; used by one thread at a time.
#include <memory>

#include "platform/http/AzureTableRequest.h"
#include "platform/http/HttpClient.h"
#include "platform/util/Export.h"

class AZT_API AzureTableRequestService {
public:
    AzureTableRequestService();
    ~AzureTableRequestService();
    AzureTableRequestService(const AzureTableRequestService&) = delete;
    AzureTableRequestService& operator=(const AzureTableRequestService&) = delete;

    // maxAttempts: how many times a transient failure is tried in all; timeoutMs: per attempt.
    // A failed exchange comes back as status 0 (or the last HTTP status) with a body saying why.
    AzureTableResponse executeRequest(AzureTableRequest& request, unsigned int maxAttempts, unsigned int timeoutMs);

private:
    std::unique_ptr<platform::http::HttpClient> m_client;
};
