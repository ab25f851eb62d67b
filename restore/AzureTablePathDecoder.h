#pragma once
// Decodes the catalogue path of a backed-up table object and builds the folder path of a table's
// backup. A path names the storage account, the table, the kind and job ("F40" = full backup of
// job 40, "I80" = incremental backup of job 80), and then either a chunk number or an unnamed
// component followed by an archive-file id:
//
//   /acct/tab            /acct/tab/F40        /acct/tab/F40/4        /acct/tab/F40/x/17
//
// Slashes and backslashes both separate; empty components are ignored. One decoder holds the
// result of its last initialize(); it owns its strings, takes no lock and is used by one thread.
#include <string>
#include <vector>

#include "platform/util/Export.h"

class AZT_API AzureTablePathDecoder {
public:
    AzureTablePathDecoder();
    virtual ~AzureTablePathDecoder();

    // Returns the number of components (1 to 5), or -1 for a malformed path. A failed call
    // leaves the fields as far as decoding got before it failed.
    int initialize(const std::string& path);

    // separator + account + separator + table + separator + ("I" or "F") + jobId; checks nothing.
    static std::string toPath(const std::string& account, const std::string& table, bool incremental,
                              long long jobId, const std::string& separator);

    // Appends the non-empty runs between any of `separators` to `parts`; stops at a NUL.
    void splitPath(const std::string& path, const std::string& separators, std::vector<std::string>& parts);

    std::string getAccount() const { return m_accountName; }
    std::string getTableName() const { return m_tableName; }
    long long getJobId() const { return m_jobId; }
    int getChunkNumber() const { return m_chunkNumber; }
    long long getAfileId() const { return m_afileId; }
    bool isIncremental() const { return m_incremental; }

    // Decodes a fixed set of sample paths and discards the results.
    static void test();

private:
    std::string m_accountName;
    std::string m_tableName;
    long long m_jobId = -1;
    int m_chunkNumber = -1;
    long long m_afileId = -1;
    bool m_incremental = false;
};
