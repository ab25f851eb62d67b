#include "restore/AzureTablePathDecoder.h"

#include "restore/PathDecoding.h"

AzureTablePathDecoder::AzureTablePathDecoder() = default;
AzureTablePathDecoder::~AzureTablePathDecoder() = default;

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
    for (const char* path : {"/", "\\", "", "\\reg\\tab", "/reg/tab/F40", "\\reg\\tab\\I80", "/reg/tab/F80/4",
                             "/reg1/tab1/F50/3/17"})
        decoder.initialize(path);
}
