#pragma once
// The restore engine: the runner that prepares a destination table and replays backups into it,
// the argument blocks of the replays, and the buffered inputs through which the platform feeds
// backup objects into a replay.
//
// A replay reads the lines of one backup (one entity per line, as the backup wrote them) and
// writes them with insert-or-replace batch transactions. It deals the lines out to up to
// kReplayConnections lanes, each writing on a connection of its own, side by side: all lines of a
// partition that are in a lane at the same time are in the same one and are written in backup
// order, and the lines the service refused are resubmitted with growing pauses, at most
// kMaxResubmissions times, before the lane writes anything after them. So the order of one
// partition's lines holds, a later version of an entity is never written before an earlier one,
// and a lane waiting out a pause holds up no other lane. Each lane holds at most kReplayWindowLines
// lines (half queued, half being written), and all lanes together about kReplayWindowBytes bytes
// (a line more each at most): memory does not grow with the table. A replay that could
// not write every line, or whose input failed, does not succeed.
//
// Threads: a replay runs on the caller's thread (execute's caller, or the thread on which the
// platform calls startRestore), which reads the input, and blocks it to the end; the lanes are
// threads of the replay that end before it returns. The replay's environment must therefore accept
// logMessage from several threads (IdaEnvironment requires it). Pauses go through the runtime of the
// replayed backup's environment (IdaEnvironment::runtime()); a stop requested on it ends them.
// Runners are created with boost::make_shared and held by shared pointer; a runner is used by one
// thread at a time. Argument blocks point back into the input that owns them and never outlive it.
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "platform/ida/IdaBufferedInput.h"
#include "platform/ida/IdaEnvironment.h"
#include "platform/util/Export.h"
#include "restore/AzureTablePathDecoder.h"
#include "table_service/AzureTableCredentials.h"
#include "table_service/AzureTableDescription.h"

class BufferedRestoreFromFull;
class BufferedRestoreFromIncremental;

// The replay of a full backup. `credentials` and `environment` are not owned.
struct AZT_API FullRestoreArgs {
    AzureTableCredentials* credentials = nullptr;
    std::string destinationTable;
    std::string sourceTable;          // names the data input opened through `environment`
    IdaEnvironment* environment = nullptr;
    bool succeeded = false;
    bool startFlag = true;            // not read by the full replay
    BufferedRestoreFromFull* input = nullptr;  // null: open the data input through `environment`
};

// The replay of an incremental backup; the same fields plus one that nothing reads.
struct AZT_API IncrementalRestoreArgs {
    AzureTableCredentials* credentials = nullptr;
    std::string destinationTable;
    std::string sourceTable;
    IdaEnvironment* environment = nullptr;
    long long reserved = 0;
    bool succeeded = false;
    bool startFlag = true;            // false: no "Replaying incremental backup " line
    BufferedRestoreFromIncremental* input = nullptr;
};

class AZT_API AzureTableRestoreRunner {
public:
    static constexpr size_t kReplayWindowLines = 10000;
    static constexpr size_t kReplayWindowBytes = 32u << 20;
    static constexpr int kMaxResubmissions = 8;
    // Partitions written side by side, each lane on a connection of its own.
    static constexpr size_t kReplayConnections = 4;
    static constexpr unsigned long long kFirstPauseMs = 1000;
    static constexpr unsigned long long kMaxPauseMs = 30000;

    // Copies the credentials; keeps the environment by pointer (it must outlive the runner).
    AzureTableRestoreRunner(AzureTableCredentials& credentials, IdaEnvironment& environment);

    // Makes the destination table ready: kept, dropped and re-created, or created, by the two
    // flags. Also takes the backed-up table's description from the stored description text.
    bool initialize(bool overwrite, std::string destinationTable, IdaEnvironment* fullBackup,
                    std::list<IdaEnvironment*>& incrementalBackups, bool useExistingTable);
    // True when the incremental backup's metadata can be read.
    bool prepareIncrementalRestore(AzureTableCredentials credentials, IdaEnvironment* incrementalBackup,
                                   std::string table);
    bool conclude(std::string table, bool succeeded);

    // Prepares the destination, then replays the full backup (if any) and the incremental
    // backups in list order. True only when every line of every backup was written.
    bool execute(bool overwrite, std::string destinationTable, IdaEnvironment* fullBackup,
                 std::list<IdaEnvironment*> incrementalBackups, bool useExistingTable);

    // The replays; each always returns 0 and leaves its result in the block's `succeeded`.
    static int fullRestoreThread(void* args);
    static int incrementalRestoreThread(void* args);
    static bool executeFullRestoreLowLevel(FullRestoreArgs* args);
    static bool executeIncrementalRestoreLowLevel(IncrementalRestoreArgs* args);

    // The backed-up table's description (filled by initialize from the stored description).
    std::shared_ptr<AzureTableDescription> getDescription() const { return description; }
    void setDescription(std::shared_ptr<AzureTableDescription> value) { description = std::move(value); }

private:
    void reportReplayFailure(IdaEnvironment* backup, const std::string& destinationTable);

    AzureTableCredentials credentials;
    IdaEnvironment* environment;
    std::shared_ptr<AzureTableDescription> description;
};

// Replays one object of a full backup that the platform feeds through processBuffer.
class AZT_API BufferedRestoreFromFull : public IdaBufferedInput {
public:
    // Keeps `environment` by pointer; takes ownership of `lock` (null: the input makes its own).
    BufferedRestoreFromFull(IdaEnvironment* environment, KxCriticalSectionH* lock);
    ~BufferedRestoreFromFull() override;

    // Copies the credentials and replaces the argument block; always true.
    bool initialize(AzureTableCredentials* credentials, std::string& sourceTable, std::string& destinationTable,
                    IdaEnvironment& environment);
    bool initializeRestore() override;
    // Runs the replay on the calling thread until the object ends; true when it succeeded.
    bool startRestore(bool flag) override;

    std::shared_ptr<FullRestoreArgs> restoreArgs() const { return m_args; }

private:
    IdaEnvironment* m_environment;
    std::shared_ptr<FullRestoreArgs> m_args;
    AzureTableCredentials m_credentials;
};

// Replays one object of an incremental backup that the platform feeds through processBuffer.
class AZT_API BufferedRestoreFromIncremental : public IdaBufferedInput {
public:
    BufferedRestoreFromIncremental(IdaEnvironment* environment, KxCriticalSectionH* lock);
    ~BufferedRestoreFromIncremental() override;

    // `reserved` is stored in the argument block and not used; always true.
    bool initialize(AzureTableCredentials* credentials, std::string& sourceTable, std::string& destinationTable,
                    IdaEnvironment* environment, long long reserved);
    bool initializeRestore() override;
    bool startRestore(bool flag) override;

    std::shared_ptr<IncrementalRestoreArgs> restoreArgs() const { return m_args; }

private:
    IdaEnvironment* m_environment;
    std::shared_ptr<IncrementalRestoreArgs> m_args;
    AzureTableCredentials m_credentials;
};

// Receives an object that is not restored and drops its data.
class AZT_API BufferedRestoreIgnoreData : public IdaBufferedInput {
public:
    BufferedRestoreIgnoreData(IdaEnvironment* environment, KxCriticalSectionH* lock);
    ~BufferedRestoreIgnoreData() override;

    bool processBuffer(void* data, unsigned long size) override;
    bool deferredProcessBuffer(bool lastCall) override;
    bool initializeRestore() override;
    bool startRestore(bool flag) override;
    bool closeChunk() override;

private:
    IdaEnvironment* m_environment;
};
