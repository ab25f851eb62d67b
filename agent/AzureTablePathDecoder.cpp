#include "agent/AzureTablePathDecoder.h"

#include "restore/PathDecoding.h"

namespace AzureTableIDA {

AzureTablePathDecoder::AzureTablePathDecoder() = default;

int AzureTablePathDecoder::initialize(const std::string& path) {
    return azt_detail::decodeObjectPath(
        path, {m_accountName, m_tableName, m_jobId, m_chunkNumber, m_afileId, m_incremental});
}

std::string AzureTablePathDecoder::toPath(const std::string& account, const std::string& table, bool incremental,
                                          long long jobId, const std::string& separator) {
    return azt_detail::objectFolderPath(account, table, incremental, jobId, separator);
}

void AzureTablePathDecoder::splitPath(const std::string& path, const std::string& separators,
                                      std::vector<std::string>& parts) {
    azt_detail::splitObjectPath(path, separators, parts);
}

void AzureTablePathDecoder::test() {
    AzureTablePathDecoder decoder;
    for (const char* path : {"/", "\\", "", "\\acct\\tab", "/acct/tab/F40", "\\acct\\tab\\I80", "/acct/tab/F80/4",
                             "\\acct2\\tab2\\I81\\1"})
        decoder.initialize(path);
}

}  // namespace AzureTableIDA
