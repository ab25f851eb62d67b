#pragma once
// Backup of one Azure table: the runner that describes the table and scans its entities page by
// page into a backup data output, and the buffered output whose producer runs that scan.
//
// Ownership: a runner copies its credentials and owns its lock; the environment it is given
// must outlive it. An AzureBufferedBackup owns its scan's argument block, which points back into
// the object and never outlives it.
//
// Threads: a runner's operations run on the calling thread. AzureBufferedBackup::startBackup
// runs the whole scan on the calling (producer) thread while a consumer drains the buffer on
// another; the scan takes the output's lock only while it stores its final restart string.
//
// Failure: every failure is logged on the environment and then reported to it with the same
// text; results are values, never exceptions. A failed scan leaves no restart string behind:
// the data output keeps the one of the last page it stored.
#include <memory>
#include <string>

#include "platform/ida/IdaBufferedOutput.h"
#include "platform/ida/IdaEnvironment.h"
#include "platform/ida/IdaOutput.h"
#include "platform/ida/KxCriticalSectionH.h"
#include "platform/util/Export.h"
#include "table_service/AzureTableCredentials.h"
#include "table_service/AzureTableDescription.h"
#include "table_service/AzureTableStorage.h"

// The argument block of one scan.
struct AZT_API QueryEntitiesArgs {
    KxCriticalSectionH** lockSlot = nullptr;  // the owner's lock pointer; null = no locking
    std::string finalRestart;                 // where the scan stopped (":" when complete)
    AzureTableCredentials* credentials = nullptr;
    std::string tableName;
    IdaEnvironment* environment = nullptr;
    std::string restartString;  // "pk:rk" to resume from; "" or ":" = from the first entity
    bool succeeded = false;
    IdaOutput* output = nullptr;  // null = the scan opens the environment's data output
    bool startFlag = true;
    long long toTime = 0;    // inclusive upper bound on Timestamp, seconds since 1970; 0 = none
    long long fromTime = 0;  // exclusive lower bound; 0 = none
};

class AZT_API AzureTableBackupRunner {
public:
    AzureTableBackupRunner(AzureTableCredentials credentials, IdaEnvironment& environment);
    ~AzureTableBackupRunner();
    AzureTableBackupRunner(const AzureTableBackupRunner&) = delete;
    AzureTableBackupRunner& operator=(const AzureTableBackupRunner&) = delete;

    // Describes the table (unless `describe` is false: the last description is reused) and
    // writes "description.json" to the environment's description output.
    bool createDescription(std::string tableName, std::shared_ptr<AzureTableDescription>& description, bool describe);
    // The description, then a complete scan into the environment's data output. Note the order
    // of the bounds: lower first. True unless the environment has a failure on record.
    bool execute(std::string tableName, std::string restartString, long long fromTime, long long toTime);
    // The scan over one QueryEntitiesArgs; returns null.
    static void* queryEntities(void* args);
    static bool executeLowLevel(QueryEntitiesArgs* args);

private:
    AzureTableCredentials credentials;
    IdaEnvironment* environment;
    AzureTableOutcome<AzureTableDescription> descriptionOutcome;
    KxCriticalSectionH* lock;
    std::string restart;
};

// The buffered backup output of one table: startBackup runs the scan with this object as its
// output. The scan never ends the data: whoever runs the producer calls finishProducing()
// once startBackup has returned, so that the consumer sees the end of the data.
class AZT_API AzureBufferedBackup : public IdaBufferedOutput {
public:
    explicit AzureBufferedBackup(size_t capacity = kDefaultCapacity);
    ~AzureBufferedBackup() override;

    bool flush() override;
    // Records `restart`; the next startBackup resumes from it.
    bool close(const std::string& restart) override;
    bool initializeBackup() override;
    // Runs the scan on the calling thread: true when it finished or stopped at a page boundary,
    // false when a page query failed or initialize was never called.
    bool startBackup(bool flag) override;

    // Note the order of the bounds: upper first. Always true.
    bool initialize(AzureTableCredentials credentials, IdaEnvironment* environment, const std::string& tableName,
                    const std::string& restartString, long long toTime, long long fromTime);

private:
    std::shared_ptr<QueryEntitiesArgs> args;
    std::string finalRestartSeed;
    AzureTableCredentials credentials;
};
