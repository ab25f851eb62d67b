#pragma once
// A restore of a subclient's tables to a point in time, driven the way a platform drives the
// restore plug-in, and the verification of one backup job.
//
// The restore: the chain of jobs comes from the job manager (AzureTableUtil::getJobListByAppId:
// the newest full job at or before the time and every incremental job after it), each table's
// stored description from the index (browseIndexForTable). A point-in-time restore is
// job-granular: it restores the state of the newest job at or before the time. Each table's own
// chain starts at the newest folder of the chain that holds the table whole (a table that joined
// the content is backed up whole within an incremental job).
//
// Before anything in the service is dropped, created or written, everything is checked: the
// table mapping (no two sources into one destination, no destination table name in two accounts,
// which the restore runners could not tell apart), every folder of every table's chain (its
// manifest, kind and bounds, then every byte against its checksums, line counts and lengths),
// the index's description of each table in each job, the destination accounts' credentials, and
// the destinations themselves (with useExisting each must exist). Any failure there changes
// nothing in the service and records no job.
//
// Then a restore job is recorded in the catalog (a JobRecord of the subclient with level
// kRestoreJobLevel, its options XML stored for EvRstTask), the destinations are prepared by
// AzureTableUtil::ProcessRestoreOptions (kept, dropped and re-created, or created), and the
// plug-in factory is loaded from the library with dlopen and driven: Initialize with the restore
// job, then every data chunk of every selected table of every job, in job order, routed with
// Process and fed through processBuffer from the caller's thread while startRestore runs on
// another; closeChunk between chunks of one input, endOfObject when the factory moves on.
// CleanupRestore ends it.
//
// Ownership and threads: run() on one thread (it starts one replay thread at a time and joins
// it); progress() and requestStop() from any thread (requestStop also through the runtime's stop
// token). The runtime must outlive the job; the plug-in loaded with dlopen works on the default
// runtime, so a job on another runtime must be given a factory.
//
// Deletions: where the newest job of the chain stored a table's key set (its subclient tracks
// deletions), only the entities the key set holds are replayed, so the table comes back as it
// was at that job, deletions included; with useExisting the keys the chain's backups hold but
// the key set lacks are then deleted from the destination (a key no backup of the chain holds
// is never touched). The key sets are read and checked with everything else before anything
// changes.
//
// Failure: a failure after the destinations were prepared leaves each destination with the
// entities written so far (the result says how many, table by table) and the restore job
// "failed" with the reason; running the restore again is safe, writing an entity twice does no
// harm. The backup folders are only read (under their shared lock).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/util/Export.h"
#include "platform/util/Status.h"

namespace platform {
class Runtime;
namespace store {
class RestoreEnvironment;
}
}  // namespace platform
class CloudDBRemoteFileFactory;
class IdaEnvironment;

namespace AzureTableIDA {

class KeySetFilter;

// The level of a restore job's record (backup jobs are 1, full, and 2, incremental).
constexpr int kRestoreJobLevel = 3;

// A point in time as a person gives it: seconds since 1970 UTC, ISO 8601 with a zone
// (platform::text::parseTimeText), or the job manager's text form that GetEpochTime reads
// ("Mon Jan 04 2021 10:30:05", local time). False, with `why` in words, for anything else: text
// that is not a time is never read as "no bound".
AZT_API bool parseRestoreTime(const std::string& text, long long& seconds, std::string& why);

// One table to restore: from the source account/table into the destination account/table.
struct AZT_API RestoreTableMapping {
    std::string sourceAccount, sourceTable;
    std::string destinationAccount, destinationTable;  // empty: the source's
};

// Reads "A/T" or "A/T=A2/T2". False with `why` for anything else.
AZT_API bool parseRestoreTableMapping(const std::string& text, RestoreTableMapping& mapping, std::string& why);

struct SubclientRestoreResult;

struct AZT_API SubclientRestoreOptions {
    std::string instance = "default";
    std::string backupSet;  // "": the instance's default set
    std::string subclient;
    long long toTime = 0;   // seconds since 1970; 0: now (the newest jobs)
    // Empty: every table of the chain's newest job, each into itself.
    std::vector<RestoreTableMapping> tables;
    bool overwrite = false;    // drop and re-create destinations that exist
    bool useExisting = false;  // restore into destinations as they are; never create one
    std::string destinationInstance;  // "": the subclient's own instance
    // Makes the plug-in factory (the caller owns it). Empty: GetRemoteFileFactory of the library
    // this code was loaded from, through dlopen.
    std::function<CloudDBRemoteFileFactory*()> factory;
    // Called once everything is checked, before anything in the service changes.
    std::function<void(const SubclientRestoreResult& planned)> onPlanned;
};

// What happens to one destination, and what the restore wrote into it.
struct AZT_API SubclientRestoreTable {
    std::string sourceAccount, sourceTable, destinationAccount, destinationTable;
    std::string destination;  // "created", "recreated" or "written-as-is" (once planned)
    std::vector<long long> jobs;          // the jobs whose backups of the table are replayed, in order
    std::vector<std::string> folders;     // their folders
    unsigned long long entities = 0;      // lines in those backups
    unsigned long long bytes = 0;
    unsigned long long entitiesWritten = 0;  // confirmed by the service
    bool deletionsTracked = false;        // the newest backup holds the table's key set
    unsigned long long keys = 0;          // keys in that key set
    unsigned long long entitiesLeftOut = 0;  // lines of the backups not replayed: their key is not in the key set
    unsigned long long entitiesDeleted = 0;  // deleted from an existing destination (useExisting) for the same reason
    double seconds = 0;                   // replay time
    std::string status = "pending";       // pending, restored, failed, incomplete
    std::string failure;
};

struct AZT_API SubclientRestoreResult {
    long long restoreJobId = 0;  // 0: none was recorded (nothing in the service was changed)
    long long subclientId = 0;
    std::string subclient;
    long long toTime = 0;
    std::vector<long long> chain;  // the jobs the job manager selected, ascending
    std::vector<SubclientRestoreTable> tables;
    std::vector<std::string> warnings;
    unsigned long long entities = 0, bytes = 0, entitiesWritten = 0;
    bool serviceChanged = false;   // false: nothing was dropped, created or written
    double seconds = 0;
};

enum class SubclientRestorePhase { Checking, Verifying, Preparing, Writing, Done };

struct AZT_API SubclientRestoreProgress {
    SubclientRestorePhase phase = SubclientRestorePhase::Checking;
    unsigned long long verifiedBytes = 0, totalBytes = 0;
    unsigned long long entitiesWritten = 0, totalEntities = 0;
};

class AZT_API SubclientRestoreJob {
public:
    SubclientRestoreJob(platform::Runtime& runtime, SubclientRestoreOptions options);
    ~SubclientRestoreJob();
    SubclientRestoreJob(const SubclientRestoreJob&) = delete;
    SubclientRestoreJob& operator=(const SubclientRestoreJob&) = delete;

    // Ok when every entity of every selected table's chain was written. Otherwise: NotFound (no
    // subclient, no job at or before the time, a table not in the newest job, a missing
    // destination with useExisting), Refused (a chain without a full backup, a mapping the
    // runners cannot tell apart, an account without credentials), Damaged (a backup or its
    // index entry failed verification), InUse (a backup writes a folder), Failed, Stopped.
    // `result` is filled as far as the job got.
    platform::Status run(SubclientRestoreResult& result);
    void requestStop();
    SubclientRestoreProgress progress() const;

private:
    struct Plan;
    platform::Status check(Plan& plan, SubclientRestoreResult& result);
    platform::Status write(Plan& plan, SubclientRestoreResult& result);
    // Deletes from existing destinations the keys each filter left out; "" or why it failed
    // (and in which table).
    std::string deleteLeftOut(Plan& plan, const std::vector<std::unique_ptr<KeySetFilter>>& filters,
                              SubclientRestoreResult& result, size_t& failedTable);
    bool stopped() const;

    platform::Runtime& m_runtime;
    SubclientRestoreOptions m_options;
    std::atomic<int> m_phase{0};
    std::atomic<unsigned long long> m_verifiedBytes{0}, m_totalBytes{0}, m_written{0}, m_totalEntities{0};
    std::atomic<bool> m_stop{false};
    std::atomic<const platform::store::RestoreEnvironment*> m_verifying{nullptr};
    std::atomic<const IdaEnvironment*> m_writing{nullptr};
    // Held while progress() reads the environment above and while write() lets it go.
    mutable std::mutex m_writingMutex;
};

// --- Verification of one backup job

struct AZT_API JobVerifyTable {
    std::string account, table, folder;
    std::string status;   // "ok", "damaged", "incomplete" (did not finish; what is there was checked)
    std::string object;   // the damaged object's path (/<account>/<table>/<F|I><job>/<file>), or ""
    long long offset = -1;  // byte offset of the damage in it, -1 when it cannot be located
    std::string problem;  // in words
    unsigned long long chunks = 0, entities = 0, bytes = 0;
    long long keys = -1;  // lines of its key set; -1: it has none
};

struct AZT_API JobVerifyResult {
    long long jobId = 0;
    std::string subclient;
    std::vector<JobVerifyTable> tables;
    unsigned long long bytes = 0;  // chunk bytes read
    double seconds = 0;
};

// Reads every object of every table of `jobId` (only account/table when both are given):
// the manifest's own checksum, the description and metadata files, every chunk's (and the key
// set's) length, line count and CRC-32C, and that every line is one JSON object with a string
// PartitionKey and RowKey. Ok when every table is sound and finished; Damaged (naming the first damage) or
// Refused (a table that did not finish) otherwise, with `result` table by table; NotFound for
// an unknown job or a table the job does not hold. `bytesVerified` grows as chunks are read.
AZT_API platform::Status verifyJob(platform::Runtime& runtime, long long jobId, const std::string& account,
                                   const std::string& table, JobVerifyResult& result,
                                   std::atomic<unsigned long long>* bytesVerified = nullptr);

}  // namespace AzureTableIDA
