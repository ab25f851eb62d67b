#pragma once
// The agent side's decoder of backup object paths: the same grammar and results as the restore
// side's AzureTablePathDecoder (restore/AzureTablePathDecoder.h), as a plain class without
// virtual functions. Restore-job discovery uses toPath("/") to name the index folder of one
// table and job. Owns its strings; no lock; one thread at a time.
#include <string>
#include <vector>

#include "platform/util/Export.h"

namespace AzureTableIDA {

class AZT_API AzureTablePathDecoder {
public:
    AzureTablePathDecoder();

    // Returns the number of components (1 to 5), or -1 for a malformed path.
    int initialize(const std::string& path);

    static std::string toPath(const std::string& account, const std::string& table, bool incremental,
                              long long jobId, const std::string& separator);

    void splitPath(const std::string& path, const std::string& separators, std::vector<std::string>& parts);

    std::string getAccountName() const { return m_accountName; }
    std::string getTableName() const { return m_tableName; }
    long long getJobId() const { return m_jobId; }
    int getChunkNumber() const { return m_chunkNumber; }
    long long getAfileId() const { return m_afileId; }
    bool isIncremental() const { return m_incremental; }

    static void test();

private:
    std::string m_accountName;
    std::string m_tableName;
    long long m_jobId = -1;
    int m_chunkNumber = -1;
    long long m_afileId = -1;
    bool m_incremental = false;
};

}  // namespace AzureTableIDA
