#include "backup/AzureTableBackup.h"

#include "platform/ida/RestartPoint.h"

namespace {

void fail(IdaEnvironment* environment, const char* functionName, const std::string& message) {
    environment->logMessage(functionName, message);
    environment->reportFailure(message);
}

}  // namespace

AzureTableBackupRunner::AzureTableBackupRunner(AzureTableCredentials credentials, IdaEnvironment& environment)
    : credentials(std::move(credentials)), environment(&environment), lock(new KxCriticalSectionH) {
    // A description that was never fetched counts as failed.
    descriptionOutcome.errorKind = Failed;
    restart.clear();
}

AzureTableBackupRunner::~AzureTableBackupRunner() { delete lock; }

bool AzureTableBackupRunner::createDescription(std::string tableName,
                                               std::shared_ptr<AzureTableDescription>& description, bool describe) {
    AzureTableStorage client(credentials, *environment);
    if (describe) descriptionOutcome = client.describeTable(tableName);
    if (descriptionOutcome.errorKind != Success) {
        fail(environment, "createDescription",
             "Describe failed " + std::to_string(descriptionOutcome.errorKind) + " for table " + tableName);
        return false;
    }

    std::shared_ptr<IdaOutput> output = environment->createDescriptionOutput();
    if (output && descriptionOutcome.result) {
        std::string json = descriptionOutcome.result->toDescriptionJson();
        environment->logMessage("createDescription", json);
        if (output->putString(json) && output->close("")) {
            description = descriptionOutcome.result;
            return true;
        }
    }
    fail(environment, "createDescription", "Failed to write description.json file");
    return false;
}

bool AzureTableBackupRunner::execute(std::string tableName, std::string restartString, long long fromTime,
                                     long long toTime) {
    restart.clear();
    std::shared_ptr<AzureTableDescription> local;
    if (!createDescription(tableName, local, true)) return false;

    auto args = std::make_shared<QueryEntitiesArgs>();
    args->lockSlot = &lock;
    args->finalRestart = restart;
    args->credentials = &credentials;
    args->tableName = tableName;
    args->environment = environment;
    args->restartString = restartString;
    args->succeeded = false;
    args->output = nullptr;
    args->startFlag = true;
    args->toTime = toTime;
    args->fromTime = fromTime;

    environment->logMessage("execute", "Starting scan\n");
    queryEntities(args.get());
    environment->logMessage("execute", "Write complete\n");
    args.reset();
    // Any failure reported during the job (scan, output, client) makes the run a failure.
    return !environment->hasFailed();
}

void* AzureTableBackupRunner::queryEntities(void* raw) {
    auto* args = static_cast<QueryEntitiesArgs*>(raw);
    IdaEnvironment* environment = args->environment;
    AzureTableStorage client(*args->credentials, *environment);
    // The next page is fetched while this one is parsed (the client is used for nothing else here).
    client.setReadAhead(true);

    std::shared_ptr<IdaOutput> created;
    IdaOutput* output = args->output;
    if (output == nullptr) {
        created = environment->createOutput(args->tableName, true);
        output = created.get();
        if (output == nullptr) {
            fail(environment, "queryEntities", "scanToStream failed for " + args->tableName);
            return nullptr;
        }
    }

    // A text that names no page (the end ":" included) starts the scan at the first entity.
    AzureTableContinuationToken token;
    RestartPoint resumeAt;
    if (RestartPoint::parse(args->restartString, resumeAt) && !resumeAt.isEnd()) {
        token.nextPartitionKey = resumeAt.partitionKey();
        token.nextRowKey = resumeAt.rowKey();
    }

    while (true) {
        int rc = client.queryEntities(args->tableName, token, output, token, args->fromTime, args->toTime);
        if (rc != Success) {
            fail(environment, "queryEntities", "scanToStream failed for " + output->getName());
            return nullptr;
        }
        // Only the token says whether the table is exhausted: an empty page may be followed by more.
        if (token.nextPartitionKey.empty() && token.nextRowKey.empty()) break;
        if (output->stopNow()) break;
    }

    KxCriticalSectionH* held = args->lockSlot ? *args->lockSlot : nullptr;
    if (held) held->enter(true);
    std::string finalRestart = RestartPoint::nextPage(token.nextPartitionKey, token.nextRowKey).toString();
    args->finalRestart = finalRestart;
    if (!created) {
        args->succeeded = true;
    } else if (output->close(finalRestart)) {
        args->succeeded = true;
    } else {
        fail(environment, "queryEntities",
             "close failed for " + output->getName() + " and restart '" + finalRestart + "'");
    }
    if (held) held->leave();
    return nullptr;
}

bool AzureTableBackupRunner::executeLowLevel(QueryEntitiesArgs* args) {
    queryEntities(args);
    return args->succeeded;
}

// ---------------------------------------------------------------------------------------------

AzureBufferedBackup::AzureBufferedBackup(size_t capacity) : IdaBufferedOutput("", nullptr, capacity) {}

AzureBufferedBackup::~AzureBufferedBackup() { args.reset(); }

bool AzureBufferedBackup::flush() { return true; }

bool AzureBufferedBackup::close(const std::string& restart) {
    m_lock->enter(true);
    m_restartString = restart;
    m_lock->leave();
    return true;
}

bool AzureBufferedBackup::initializeBackup() { return true; }

bool AzureBufferedBackup::initialize(AzureTableCredentials credentials, IdaEnvironment* environment,
                                     const std::string& tableName, const std::string& restartString,
                                     long long toTime, long long fromTime) {
    this->credentials = std::move(credentials);
    auto block = std::make_shared<QueryEntitiesArgs>();
    block->lockSlot = &m_lock;
    block->finalRestart = finalRestartSeed;
    block->credentials = &this->credentials;
    block->tableName = tableName;
    block->environment = environment;
    block->restartString = restartString;
    block->succeeded = false;
    block->output = this;
    block->startFlag = true;
    block->toTime = toTime;
    block->fromTime = fromTime;
    args = std::move(block);

    m_lock->enter(true);
    m_restartString = restartString;
    m_lock->leave();
    m_environment = environment;
    // Messages quote the output's name; an unnamed output would leave them saying nothing.
    m_name = tableName;
    return true;
}

bool AzureBufferedBackup::startBackup(bool flag) {
    if (!args) return false;
    m_lock->enter(true);
    args->restartString = m_restartString;
    m_lock->leave();
    args->startFlag = flag;
    return AzureTableBackupRunner::executeLowLevel(args.get());
}
