#include "backup/AzureTableBackupJob.h"

#include <algorithm>
#include <chrono>

#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/ida/RestartPoint.h"
#include "platform/store/BackupStoreConsumer.h"
#include "table_service/AzureTableStorage.h"

using platform::store::BackupJobEnvironment;

AzureTableBackupJob::AzureTableBackupJob(AzureTableCredentials credentials, AzureTableBackupJobOptions options)
    : m_credentials(std::move(credentials)), m_options(std::move(options)), m_output(m_options.bufferCapacity) {}

AzureTableBackupJob::~AzureTableBackupJob() = default;

platform::Runtime& AzureTableBackupJob::runtime() const {
    return m_options.runtime ? *m_options.runtime : platform::defaultRuntime();
}

bool AzureTableBackupJob::stopping() const { return m_stopRequested.load() || runtime().stopRequested(); }

void AzureTableBackupJob::requestStop() {
    m_stopRequested.store(true);
    m_output.requestStop();
}

AzureTableBackupJob::Result AzureTableBackupJob::run(std::string& message) {
    const bool userBound = m_options.toTime > 0;

    // Ask the service first: the table must exist and the key must work before the folder is
    // claimed, and the reply's Date is the service's clock, which pins the bound.
    {
        IdaLoggingEnvironment probe("backup " + m_options.table, runtime());
        AzureTableStorage client(m_credentials, probe);
        auto described = client.describeTable(m_options.table);
        m_serviceTime = client.serviceTime();
        if (described.errorKind != Success || !described.result) {
            m_serviceError = described.errorMessage;
            if (stopping()) {
                message = "stopped before the backup began; nothing was stored";
                return Result::Stopped;
            }
            message = "describing table " + m_options.table + " failed";
            return Result::Failed;
        }
    }
    long long toTime = m_options.toTime;
    if (m_serviceTime > 0) {
        if (m_options.fromTime >= m_serviceTime) {
            message = "the lower bound " + AzureTableStorage::toAzureFormatTime(m_options.fromTime) +
                      " is not in the past of the service's clock (" +
                      AzureTableStorage::toAzureFormatTime(m_serviceTime) +
                      "): nothing can have changed after it (seconds, not milliseconds?)";
            return Result::Refused;
        }
        if (userBound && toTime > m_serviceTime) {
            message = "the upper bound " + AzureTableStorage::toAzureFormatTime(toTime) +
                      " lies in the future of the service's clock (" +
                      AzureTableStorage::toAzureFormatTime(m_serviceTime) + ")";
            return Result::Refused;
        }
    }
    if (!userBound && m_options.recordedToTime > 0) {
        toTime = std::max(m_options.recordedToTime, m_options.fromTime);
    } else if (!userBound) {
        if (m_serviceTime <= 0) {
            message = "the service's reply carried no Date header, so the backup has no time to record for the next "
                      "incremental backup; give an upper bound";
            return Result::Refused;
        }
        // An incremental backup whose lower bound lies within the margin still records at least
        // its own start: the next one then overlaps it, never leaves a gap.
        toTime = std::max(m_serviceTime - kBoundMarginSeconds, m_options.fromTime);
    }

    m_environment = std::make_unique<BackupJobEnvironment>(runtime(), m_options.folder, m_credentials.accountName,
                                                           m_options.table, m_options.incremental,
                                                           m_options.fromTime, toTime, m_options.chunkSizeBytes,
                                                           m_options.fileSystem);
    BackupJobEnvironment& env = *m_environment;
    env.setCommitPolicy(m_options.commitPolicy);
    env.setBounded(userBound);
    switch (env.open(message, !userBound)) {
        case BackupJobEnvironment::State::Refused: return Result::Refused;
        case BackupJobEnvironment::State::Complete:
            if (m_options.keySet && !env.manifest().hasKeySet()) return storeKeySet(message);
            return Result::AlreadyComplete;
        case BackupJobEnvironment::State::Fresh:
        case BackupJobEnvironment::State::Resume: break;
    }
    auto data = env.dataOutput();
    m_progress.store(&data->progress());

    // The description is rewritten on every run: it is small and the table may have changed.
    AzureTableBackupRunner runner(m_credentials, env);
    std::shared_ptr<AzureTableDescription> description;
    if (!runner.createDescription(m_options.table, description, true)) {
        message = env.failureMessage();
        if (stopping()) {
            data->flush();
            message = "stopped before the first page of this run";
            return Result::Stopped;
        }
        return Result::Failed;
    }

    // A folder claimed by an earlier run keeps the bounds it recorded then.
    const long long scanUpperBound = env.manifest().bounded ? env.toTime() : 0;
    m_output.initialize(m_credentials, &env, m_options.table, env.resumeRestart(), scanUpperBound,
                        m_options.fromTime);
    platform::store::BackupStoreConsumer consumer(m_output, *data);
    if (m_options.onPage) {
        auto onPage = m_options.onPage;
        consumer.onPage = [onPage, data](uint64_t pages) { onPage(pages, *data); };
    }
    consumer.start();
    m_output.initializeBackup();
    bool scanned = m_output.startBackup(true);
    m_output.finishProducing();
    bool stored = consumer.join();

    if (!scanned || !stored || env.hasFailed()) {
        // Pages stored whole before the failure are kept: the next run resumes after them.
        data->flush();
        if (stopping() && stored && !data->failed()) {
            message = "stopped after " + std::to_string(data->progress().durablePages.load()) +
                      " pages; run the same backup again to resume";
            return Result::Stopped;
        }
        message = env.failureMessage();
        if (message.empty()) message = "the backup of " + m_options.table + " failed";
        return Result::Failed;
    }
    // The last page gives an empty restart string; a stop leaves the position of the next page.
    std::string restart = m_output.getRestartString();
    RestartPoint reached;
    bool complete = RestartPoint::parseAfterPage(restart, reached) && reached.isEnd();
    if (!data->close(complete ? RestartPoint::end().toString() : restart)) {
        message = env.failureMessage();
        return Result::Failed;
    }
    if (complete) return m_options.keySet ? storeKeySet(message) : Result::Complete;
    message = "stopped after " + std::to_string(data->progress().pages.load()) +
              " pages; run the same backup again to resume";
    return Result::Stopped;
}

namespace {

// Passes a page of the key listing on and counts its keys, for the progress a person watches.
class KeyCountingOutput : public IdaOutput {
public:
    KeyCountingOutput(const std::shared_ptr<IdaOutput>& target, std::atomic<unsigned long long>& count)
        : IdaOutput("", nullptr), m_target(target), m_count(count) {}
    bool putString(const std::string& text) override { return putBytes(text.data(), text.size()); }
    bool putBytes(const char* data, size_t size) override {
        m_count += platform::store::countLineFeeds(data, size);
        return m_target->putBytes(data, size);
    }
    void updateRestart(const std::string& restart) override { m_target->updateRestart(restart); }
    bool flush() override { return m_target->flush(); }
    bool close(const std::string& restart) override { return m_target->close(restart); }

private:
    std::shared_ptr<IdaOutput> m_target;
    std::atomic<unsigned long long>& m_count;
};

}  // namespace

AzureTableBackupJob::Result AzureTableBackupJob::storeKeySet(std::string& message) {
    BackupJobEnvironment& env = *m_environment;
    AzureTableStorage client(m_credentials, env);
    std::shared_ptr<IdaOutput> keys = env.createKeySetOutput();
    AzureTableContinuationToken token;
    do {
        if (stopping()) {
            message = "stopped while listing the keys of " + m_options.table + "; run the same backup again to list them";
            return Result::Stopped;
        }
        KeyCountingOutput counted(keys, m_keysListed);
        const int kind = client.queryEntities(m_options.table, token, &counted, token, 0, 0, "PartitionKey,RowKey");
        if (kind != Success) {
            message = env.failureMessage();
            if (message.empty())
                message = "listing the keys of " + m_options.table + " failed (" +
                          (kind == ResourceNotFound ? "the table is gone" : "error kind " + std::to_string(kind)) +
                          "); run the same backup again to list them";
            return Result::Failed;
        }
    } while (!token.nextPartitionKey.empty() || !token.nextRowKey.empty());
    if (!keys->close(RestartPoint::end().toString())) {
        message = env.failureMessage();
        return Result::Failed;
    }
    return Result::Complete;
}

platform::Status AzureTableBackupJob::run(AzureTableBackupJobResult& result) {
    using Code = platform::Status::Code;
    const unsigned long long started = runtime().monotonicMs();
    std::string message;
    const Result outcome = run(message);
    result = AzureTableBackupJobResult{};
    result.seconds = static_cast<double>(runtime().monotonicMs() - started) / 1000.0;
    result.account = m_credentials.accountName;
    result.table = m_options.table;
    result.folder = m_options.folder;
    result.incremental = m_options.incremental;
    result.fromTime = m_options.fromTime;
    result.toTime = m_options.toTime;
    result.serviceError = m_serviceError;
    result.alreadyComplete = outcome == Result::AlreadyComplete;
    if (const platform::store::BackupProgress* p = progress()) {
        result.entitiesThisRun = p->sessionEntities.load();
        result.bytesThisRun = p->sessionBytes.load();
        result.pagesStored = p->durablePages.load() > 0;
    }
    if (m_environment && (outcome == Result::Complete || outcome == Result::AlreadyComplete ||
                          outcome == Result::Stopped || outcome == Result::Failed)) {
        const platform::store::BackupManifest& m = m_environment->manifest();
        result.incremental = m.incremental;
        result.fromTime = m.fromTime;
        result.toTime = m.toTime;
        result.bounded = m.bounded;
        result.entities = m.totalLines();
        result.bytes = m.totalBytes();
        result.pages = m.pages;
        result.chunks = m.chunks.size();
        result.keySet = m.hasKeySet();
        result.keys = m.keySet.lines;
        result.resumed = outcome == Result::Complete && result.entitiesThisRun != result.entities;
    }
    switch (outcome) {
        case Result::Complete: return platform::Status::success();
        case Result::AlreadyComplete: return platform::Status::success(message);
        case Result::Stopped: return platform::Status(Code::Stopped, message);
        case Result::Refused: return platform::Status(Code::Refused, message);
        case Result::Failed: break;
    }
    return platform::Status(Code::Failed, message);
}
