#include "restore/AzureTableRestoreJob.h"

#include <chrono>
#include <list>

#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/store/RestoreEnvironment.h"
#include "platform/runtime/Runtime.h"
#include "restore/AzureTableRestore.h"
#include "table_service/AzureTableStorage.h"

using platform::Status;
using platform::store::BackupManifest;
using platform::store::RestoreEnvironment;
using Code = platform::Status::Code;

namespace {

std::string timeText(long long seconds) {
    if (seconds == 0) return "the beginning";
    return AzureTableStorage::toAzureFormatTime(seconds);
}

}  // namespace

AzureTableRestoreJob::AzureTableRestoreJob(AzureTableCredentials credentials, AzureTableRestoreJobOptions options)
    : m_credentials(std::move(credentials)), m_options(std::move(options)) {}

AzureTableRestoreJob::~AzureTableRestoreJob() = default;

platform::Runtime& AzureTableRestoreJob::runtime() const {
    return m_options.runtime ? *m_options.runtime : platform::defaultRuntime();
}

void AzureTableRestoreJob::requestStop() {
    m_stopRequested.store(true);
    runtime().stopToken().requestStop();
}

bool AzureTableRestoreJob::stopped() const { return m_stopRequested.load() || runtime().stopRequested(); }

AzureTableRestoreProgress AzureTableRestoreJob::progress() const {
    AzureTableRestoreProgress p;
    p.phase = static_cast<AzureTableRestorePhase>(m_phase.load());
    p.totalBytes = m_totalBytes.load();
    p.totalEntities = m_totalEntities.load();
    const long long start = m_startNs.load();
    p.seconds = start ? static_cast<double>(runtime().monotonicMs() - start) / 1e3 : 0;
    std::lock_guard<std::mutex> lock(m_envMutex);
    for (const auto& env : m_envs) {
        p.verifiedBytes += env->verifiedBytes();
        p.entitiesRead += env->linesDelivered();
    }
    return p;
}

Status AzureTableRestoreJob::checkChain(const std::vector<std::string>& folders,
                                        const std::vector<BackupManifest>& manifests, bool useExisting,
                                        std::vector<AzureTableRestoreBackup>& backups,
                                        std::vector<std::string>& warnings) {
    backups.clear();
    if (manifests.empty() || folders.size() != manifests.size())
        return Status(Code::Refused, "give at least one backup folder");
    const BackupManifest& first = manifests.front();
    for (size_t i = 0; i < manifests.size(); ++i) {
        const BackupManifest& m = manifests[i];
        const std::string& folder = folders[i];
        AzureTableRestoreBackup backup;
        backup.folder = folder;
        backup.incremental = m.incremental;
        backup.fromTime = m.fromTime;
        backup.toTime = m.toTime;
        backup.entities = m.totalLines();
        backup.bytes = m.totalBytes();
        backup.checksums = m.hasChecksums();
        backups.push_back(backup);
        if (!m.complete)
            return Status(Code::Refused, "the backup in " + folder +
                                             " did not finish; resume it with backup-table or leave it out");
        if (m.account != first.account || m.table != first.table)
            return Status(Code::Refused, folder + " holds a backup of " + m.account + "/" + m.table + ", but " +
                                             folders[0] + " holds one of " + first.account + "/" + first.table +
                                             "; all backups must be of the same table");
        if (i == 0) {
            if (m.incremental && !useExisting)
                return Status(Code::Refused, folder +
                                                 " holds an incremental backup; the first --from must be a full "
                                                 "backup (or add --use-existing to apply it to an existing table)");
            continue;
        }
        if (!m.incremental)
            return Status(Code::Refused,
                          folder + " holds a full backup; only the first --from may be a full backup");
        const BackupManifest& previous = manifests[i - 1];
        if (m.fromTime > previous.toTime)
            return Status(Code::Refused, "gap between backups: " + folders[i - 1] + " ends at " +
                                             timeText(previous.toTime) + " but " + folder + " starts after " +
                                             timeText(m.fromTime) + "; the changes in between are in no backup given");
        if (m.fromTime < previous.toTime) {
            backups.back().overlapsPrevious = true;
            warnings.push_back(folder + " starts at " + timeText(m.fromTime) + ", before " + folders[i - 1] +
                               " ends (" + timeText(previous.toTime) + "); the overlap is replayed twice, later "
                               "versions win");
        }
    }
    return Status::success();
}

Status AzureTableRestoreJob::run(AzureTableRestoreJobResult& result) {
    const long long started = static_cast<long long>(runtime().monotonicMs());
    m_startNs.store(started);
    auto finish = [&](Status status) {
        result.seconds = static_cast<double>(runtime().monotonicMs() - started) / 1e3;
        m_phase.store(static_cast<int>(AzureTableRestorePhase::Done));
        return status;
    };
    result = AzureTableRestoreJobResult{};
    result.account = m_credentials.accountName;
    result.table = m_options.table;
    if (m_options.folders.empty()) return finish(Status(Code::BadUsage, "give at least one backup folder"));

    // Everything is checked before the service is touched: the chain, then every byte of every
    // backup in it. A refused or damaged chain changes nothing in the service.
    platform::store::FileSystem& fs =
        m_options.fileSystem ? *m_options.fileSystem : runtime().fileSystem();
    std::vector<BackupManifest> manifests;
    for (const auto& folder : m_options.folders) {
        auto env = std::make_unique<RestoreEnvironment>(runtime(), folder, &fs);
        Status opened = env->open();
        if (!opened.ok()) return finish(opened);
        manifests.push_back(env->manifest());
        std::lock_guard<std::mutex> lock(m_envMutex);
        m_envs.push_back(std::move(env));
    }
    Status chain = checkChain(m_options.folders, manifests, m_options.useExisting, result.backups, result.warnings);
    result.sourceAccount = manifests.front().account;
    result.sourceTable = manifests.front().table;
    for (const auto& m : manifests) {
        result.totalEntities += m.totalLines();
        result.totalBytes += m.totalBytes();
    }
    m_totalBytes.store(result.totalBytes);
    m_totalEntities.store(result.totalEntities);
    if (!chain.ok()) return finish(chain);

    m_phase.store(static_cast<int>(AzureTableRestorePhase::Verifying));
    for (size_t i = 0; i < m_envs.size(); ++i) {
        Status verified = m_envs[i]->verify();
        if (!verified.ok()) {
            if (verified.code == Code::Damaged)
                verified.message = "the backup in " + m_options.folders[i] + " is damaged: " + verified.message;
            return finish(verified);
        }
        if (stopped()) return finish(Status(Code::Stopped, "stopped on request before anything was written"));
    }

    // The destination decides what the restore does; it is said before anything is written.
    IdaLoggingEnvironment job("restore-table", runtime());
    {
        AzureTableStorage client(m_credentials, job);
        auto described = client.describeTable(m_options.table);
        const bool exists = described.errorKind == Success && described.result;
        if (!exists && described.errorKind != ResourceNotFound) {
            result.serviceError = described.errorMessage;
            if (stopped()) return finish(Status(Code::Stopped, "stopped on request before anything was written"));
            return finish(Status(Code::Failed, "cannot look at the destination table " + m_options.table));
        }
        if (!exists && m_options.useExisting)
            // Writing into a missing table could only fail slowly, batch by batch.
            return finish(Status(Code::NotFound, "table " + m_options.table + " does not exist in account " +
                                                     m_credentials.accountName +
                                                     " (--use-existing never creates it)"));
        result.destination = !exists                 ? AzureTableRestoreDestination::Created
                             : m_options.overwrite   ? AzureTableRestoreDestination::Recreated
                                                     : AzureTableRestoreDestination::WrittenAsIs;
    }
    if (m_options.onPlanned) m_options.onPlanned(result);

    IdaEnvironment* full = manifests.front().incremental ? nullptr : m_envs.front().get();
    std::list<IdaEnvironment*> incrementals;
    for (const auto& env : m_envs)
        if (env.get() != full) incrementals.push_back(env.get());
    m_phase.store(static_cast<int>(AzureTableRestorePhase::Writing));
    result.writingBegan = true;
    auto runner = boost::make_shared<AzureTableRestoreRunner>(m_credentials, job);
    const bool ok = runner->execute(m_options.overwrite, m_options.table, full, incrementals, m_options.useExisting);
    for (const auto& env : m_envs) result.entitiesWritten += env->entitiesWritten();
    if (ok) return finish(Status::success());
    if (stopped())
        return finish(Status(Code::Stopped, "stopped on request after writing " +
                                                std::to_string(result.entitiesWritten) + " of " +
                                                std::to_string(result.totalEntities) + " entities"));
    std::string reason = job.failureMessage();
    for (const auto& env : m_envs)
        if (reason.empty()) reason = env->failureMessage();
    return finish(Status(Code::Failed, reason.empty() ? "see the debug log" : reason));
}
