// The floor of a table backup's cost: the same page requests `aztable backup-table` sends,
// through the same transport, with nothing done to the replies beyond finding the next page's
// token and counting entities. Prints "<entities> <seconds>" for bench/backup_vs_peers.sh.
//
// usage: bench_bare_page_fetch TABLE UNTIL_SECONDS   (account from AZURE_STORAGE_CONNECTION_STRING)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/http/CAzureTableStorageInfo.h"
#include "platform/http/ConnectionString.h"
#include "platform/http/UrlEncoding.h"
#include "support/MemoryEnvironment.h"
#include "table_service/AzureTableStorage.h"

namespace {

class BareAccount : public CAzureTableStorageInfo {
public:
    BareAccount(IdaEnvironment& environment, const platform::http::StorageConnection& c)
        : CAzureTableStorageInfo(environment, 32) {
        Connect(c.accountName, c.tableEndpoint, c.accountKey);
    }
    // The continuation headers folded into the body, as the client reads them.
    AzureTableResponse send(AzureTableRequest& request) {
        AzureTableResponse response = requestService.executeRequest(request, 50, 60000);
        if (response.status == 200) table_service::foldContinuationIntoBody(response);
        return response;
    }
};

// The value of a top-level string member the transport put at the front of the body.
std::string member(const std::string& body, const std::string& name) {
    std::string key = "\"" + name + "\":\"";
    size_t at = body.find(key);
    if (at == std::string::npos || at > 512) return "";
    at += key.size();
    return body.substr(at, body.find('"', at) - at);
}

size_t count(const std::string& body, const std::string& needle) {
    size_t n = 0;
    for (size_t at = body.find(needle); at != std::string::npos; at = body.find(needle, at + needle.size())) ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const char* text = std::getenv("AZURE_STORAGE_CONNECTION_STRING");
    if (argc != 3 || !text) {
        std::fprintf(stderr, "usage: AZURE_STORAGE_CONNECTION_STRING=... %s TABLE UNTIL_SECONDS\n", argv[0]);
        return 2;
    }
    platform::http::StorageConnection connection;
    std::string error;
    if (!platform::http::parseConnectionString(text, connection, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const std::string table = argv[1];
    const std::string filter = "$filter=" + AzureTableStorage::getAzureUriToTimeFilter(
                                                AzureTableStorage::toAzureFormatTime(std::atoll(argv[2])));
    testing_support::MemoryEnvironment env;
    BareAccount account(env, connection);
    std::string nextPartition, nextRow;
    size_t entities = 0;
    auto start = std::chrono::steady_clock::now();
    do {
        AzureTableRequest request = account.baseRequest("");
        request.path = table + "()";
        if (!nextPartition.empty()) request.path += "?NextPartitionKey=" + platform::http::percentEncode(nextPartition);
        if (!nextRow.empty())
            request.path += std::string(nextPartition.empty() ? "?" : "&") + "NextRowKey=" +
                            platform::http::percentEncode(nextRow);
        request.query = filter;
        AzureTableResponse response = account.send(request);
        if (response.status != 200) {
            std::fprintf(stderr, "page request failed with status %d\n", response.status);
            return 1;
        }
        entities += count(response.body, "\"PartitionKey\":");
        nextPartition = member(response.body, "x-ms-continuation-NextPartitionKey");
        nextRow = member(response.body, "x-ms-continuation-NextRowKey");
    } while (!nextPartition.empty() || !nextRow.empty());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu %.3f\n", entities, seconds);
    return 0;
}
