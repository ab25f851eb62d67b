#include "backup/AzureTableBackupJob.h"

#include "platform/store/BackupStoreConsumer.h"

using platform::store::BackupJobEnvironment;

AzureTableBackupJob::AzureTableBackupJob(AzureTableCredentials credentials, AzureTableBackupJobOptions options)
    : m_credentials(std::move(credentials)), m_options(std::move(options)), m_output(m_options.bufferCapacity) {}

AzureTableBackupJob::~AzureTableBackupJob() = default;

void AzureTableBackupJob::requestStop() {
    m_output.requestStop();
}

AzureTableBackupJob::Result AzureTableBackupJob::run(std::string& message) {
    platform::store::FileSystem& fs = m_options.fileSystem ? *m_options.fileSystem : platform::store::posixFileSystem();
    m_environment = std::make_unique<BackupJobEnvironment>(m_options.folder, m_credentials.accountName,
                                                           m_options.table, m_options.incremental,
                                                           m_options.fromTime, m_options.toTime,
                                                           m_options.chunkSizeBytes, fs);
    BackupJobEnvironment& env = *m_environment;
    env.setCommitPolicy(m_options.commitPolicy);
    switch (env.open(message, m_options.keepStoredUpperBound)) {
        case BackupJobEnvironment::State::Refused: return Result::Refused;
        case BackupJobEnvironment::State::Complete: return Result::AlreadyComplete;
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
        return Result::Failed;
    }

    m_output.initialize(m_credentials, &env, m_options.table, env.resumeRestart(), env.toTime(),
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
        message = env.failureMessage();
        if (message.empty()) message = "the backup of " + m_options.table + " failed";
        // Pages stored whole before the failure are kept: the next run resumes after them.
        data->flush();
        return Result::Failed;
    }
    // The last page gives an empty restart string; a stop leaves the position of the next page.
    std::string restart = m_output.getRestartString();
    bool complete = restart.empty();
    if (!data->close(complete ? ":" : restart)) {
        message = env.failureMessage();
        return Result::Failed;
    }
    if (complete) return Result::Complete;
    message = "stopped after " + std::to_string(data->progress().pages.load()) +
              " pages; run the same backup again to resume";
    return Result::Stopped;
}
