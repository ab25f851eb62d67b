#include "restore/AzureTableRestore.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <iterator>
#include <thread>
#include <unordered_map>

#include <rapidjson/document.h>

#include "platform/runtime/Runtime.h"
#include "table_service/AzureTableStorage.h"
#include "table_service/TableServiceText.h"

namespace {

const unsigned int kTableWaitMs = 120000;

void logAndReport(IdaEnvironment* environment, const char* functionName, const std::string& message) {
    environment->logMessage(functionName, message);
    environment->reportFailure(message);
}

// The description the backup stored: {"table":<the service's description of the table>}.
std::shared_ptr<AzureTableDescription> parseStoredDescription(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError() || !document.IsObject()) return nullptr;
    auto table = document.FindMember("table");
    if (table == document.MemberEnd() || !table->value.IsObject()) return nullptr;
    return std::make_shared<AzureTableDescription>(table->value);
}

unsigned long long pauseBeforeResubmission(int resubmission) {
    unsigned long long pause = AzureTableRestoreRunner::kFirstPauseMs;
    for (int i = 0; i < resubmission && pause < AzureTableRestoreRunner::kMaxPauseMs; ++i) pause *= 2;
    return std::min(pause, AzureTableRestoreRunner::kMaxPauseMs);
}

// What one replay needs from either argument block.
struct ReplayTask {
    const char* functionName;
    bool full;
    AzureTableCredentials* credentials;
    const std::string& destinationTable;
    const std::string& sourceTable;
    IdaEnvironment* environment;
    bool startFlag;
    IdaInput* input;
};

class Replay {
public:
    explicit Replay(const ReplayTask& task) : m_task(task), m_env(task.environment) {}

    // Returns true when every line of the input was written.
    bool run(IdaInput& input) {
        bool firstWindow = true;
        bool carried = false;
        std::string carry, line;
        while (true) {
            std::vector<std::string> window;
            size_t bytes = 0;
            if (carried) {
                bytes += carry.size();
                window.push_back(std::move(carry));
                carried = false;
            }
            bool ended = false;
            while (true) {
                if (!input.getLine(line)) {
                    ended = true;
                    break;
                }
                if (line.empty()) {
                    m_env->logMessage(m_task.functionName, "Empty line");
                    continue;
                }
                // A full window is submitted only once the next line is known to exist, so the
                // last window (and an input that fits one window) is recognised as such.
                if (window.size() >= AzureTableRestoreRunner::kReplayWindowLines ||
                    bytes >= AzureTableRestoreRunner::kReplayWindowBytes) {
                    carry.swap(line);
                    carried = true;
                    break;
                }
                bytes += line.size();
                window.push_back(line);
            }
            if (!window.empty() || firstWindow) {
                if (!writeWindow(window, ended)) {
                    input.close();  // releases a feeder that waits for room
                    return false;
                }
            }
            firstWindow = false;
            if (ended) return true;
        }
    }

private:
    // A thread that runs one lane's submissions. The same threads serve every window of a replay,
    // so their memory is reused rather than spread over ever new threads.
    class Helper {
    public:
        Helper() : m_thread([this] { loop(); }) {}
        ~Helper() {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_quit = true;
            }
            m_wake.notify_all();
            m_thread.join();
        }
        void start(std::function<void()> task) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_task = std::move(task);
            m_busy = true;
            m_wake.notify_all();
        }
        void wait() {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_busy; });
        }

    private:
        void loop() {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (true) {
                m_wake.wait(lock, [this] { return m_quit || m_task; });
                if (!m_task) return;
                auto task = std::move(m_task);
                m_task = nullptr;
                lock.unlock();
                task();
                lock.lock();
                m_busy = false;
                m_wake.notify_all();
            }
        }

        std::mutex m_mutex;
        std::condition_variable m_wake;
        std::function<void()> m_task;
        bool m_busy = false;
        bool m_quit = false;
        std::thread m_thread;  // last: starts once the members above exist
    };

    Helper& helper(size_t lane) {
        while (m_helpers.size() <= lane) m_helpers.push_back(m_helpers.empty() ? nullptr : std::make_unique<Helper>());
        return *m_helpers[lane];
    }

    AzureTableStorage& client(size_t lane) {
        while (m_clients.size() <= lane)
            m_clients.push_back(std::make_unique<AzureTableStorage>(*m_task.credentials, *m_env));
        return *m_clients[lane];
    }

    // Deals the lines out to lanes by partition: all lines of one partition go to the same lane,
    // in their order, and a new partition goes to the lane with the fewest lines so far.
    static std::vector<std::vector<std::string>> splitByPartition(std::vector<std::string>& lines) {
        const size_t laneCount = AzureTableRestoreRunner::kReplayConnections;
        std::vector<std::vector<std::string>> lanes(1);
        if (laneCount <= 1 || lines.size() <= 1) {
            lanes[0].swap(lines);
            return lanes;
        }
        lanes.resize(laneCount);
        std::unordered_map<std::string, size_t> laneOf;
        for (auto& line : lines) {
            auto found = laneOf.emplace(table_text::partitionGroupOf(line), 0);
            if (found.second) {
                size_t least = 0;
                for (size_t i = 1; i < laneCount; ++i)
                    if (lanes[i].size() < lanes[least].size()) least = i;
                found.first->second = least;
            }
            lanes[found.first->second].push_back(std::move(line));
        }
        lines.clear();
        lanes.erase(std::remove_if(lanes.begin(), lanes.end(), [](const auto& l) { return l.empty(); }), lanes.end());
        return lanes;
    }

    // One submission of the pending list; it becomes what is left of it. The lines are moved
    // into the batch calls, which hand back every line they did not write; a call that reports an
    // error instead has lost its lines, and the replay then fails (writeWindow).
    void submit(std::vector<std::string>& pending, bool first, bool lastWindow) {
        auto lanes = splitByPartition(pending);
        std::vector<AzureTableOutcome<std::vector<std::string>>> outcomes(lanes.size());
        std::vector<size_t> sizes(lanes.size());
        for (size_t i = 0; i < lanes.size(); ++i) sizes[i] = lanes[i].size();
        // Each lane has a client (and connection) of its own; different partitions are written
        // side by side, the batches of one partition one after the other.
        for (size_t i = 1; i < lanes.size(); ++i) {
            AzureTableStorage& laneClient = client(i);
            helper(i).start(
                [&, i] { outcomes[i] = laneClient.batchInsert(m_task.destinationTable, std::move(lanes[i])); });
        }
        outcomes[0] = client(0).batchInsert(m_task.destinationTable, std::move(lanes[0]));
        for (size_t i = 1; i < lanes.size(); ++i) helper(i).wait();

        bool allSucceeded = true, anyLeft = false;
        for (size_t i = 0; i < lanes.size(); ++i) {
            if (outcomes[i].errorKind == 0)
                m_env->countWritten(sizes[i] - (outcomes[i].result ? outcomes[i].result->size() : 0));
            if (outcomes[i].errorKind != 0) {
                allSucceeded = false;
                m_lost += sizes[i];
            } else if (outcomes[i].result) {
                anyLeft = true;
                pending.insert(pending.end(), std::make_move_iterator(outcomes[i].result->begin()),
                               std::make_move_iterator(outcomes[i].result->end()));
            }
        }
        if (allSucceeded && first && m_task.full && lastWindow)
            m_env->logMessage(m_task.functionName, "FULL restore done");
        if (anyLeft) m_env->logMessage(m_task.functionName, "Items left " + std::to_string(pending.size()) + "\n");
    }

    bool lost() {
        if (m_lost == 0) return false;
        logAndReport(m_env, m_task.functionName,
                     "A batch call into table " + m_task.destinationTable + " failed without handing back its " +
                         std::to_string(m_lost) + " items; they were not restored");
        return true;
    }

    bool writeWindow(std::vector<std::string>& pending, bool lastWindow) {
        submit(pending, true, lastWindow);
        if (lost()) return false;
        platform::Backoff backoff(
            m_env->runtime(), [](unsigned int retry) { return pauseBeforeResubmission(static_cast<int>(retry) - 1); },
            AzureTableRestoreRunner::kMaxResubmissions);
        while (!pending.empty()) {
            switch (backoff.next()) {
                case platform::Backoff::Step::Retry: break;
                case platform::Backoff::Step::Exhausted:
                    logAndReport(m_env, m_task.functionName,
                                 "Gave up restoring " + std::to_string(pending.size()) + " items into table " +
                                     m_task.destinationTable + " after " + std::to_string(backoff.retries()) +
                                     " resubmissions");
                    return false;
                case platform::Backoff::Step::Stopped:
                    logAndReport(m_env, m_task.functionName,
                                 "Stopped on request with " + std::to_string(pending.size()) +
                                     " items not yet restored into table " + m_task.destinationTable);
                    return false;
            }
            m_env->logMessage(m_task.functionName, "Some more items to be restored");
            submit(pending, false, lastWindow);
            if (lost()) return false;
        }
        return true;
    }

    const ReplayTask& m_task;
    IdaEnvironment* m_env;
    std::vector<std::unique_ptr<AzureTableStorage>> m_clients;
    std::vector<std::unique_ptr<Helper>> m_helpers;  // [0] unused: lane 0 runs on the caller's thread
    size_t m_lost = 0;  // lines a batch call neither wrote nor handed back
};

// Steps shared by both replays; returns the replay's `succeeded`.
bool replay(const ReplayTask& task) {
    IdaEnvironment* env = task.environment;
    std::shared_ptr<IdaInput> opened;
    IdaInput* input = task.input;
    if (!input) {
        opened = env->createInput(task.sourceTable, false);
        input = opened.get();
    }
    if (!input) {
        logAndReport(env, task.functionName, "Unable to open the backup data in " + env->getName());
        return false;
    }
    if (!task.full && task.startFlag) env->logMessage(task.functionName, "Replaying incremental backup ");
    Replay writer(task);
    bool allWritten = writer.run(*input);
    bool inputFailed = input->error();
    if (inputFailed)
        logAndReport(env, task.functionName,
                     "The backup data in " + env->getName() + " could not be read completely; table " +
                         task.destinationTable + " is incomplete");
    if (opened) opened->close();
    return !inputFailed && allWritten;
}

}  // namespace

AzureTableRestoreRunner::AzureTableRestoreRunner(AzureTableCredentials& credentials, IdaEnvironment& environment)
    : credentials(credentials), environment(&environment) {}

bool AzureTableRestoreRunner::initialize(bool overwrite, std::string destinationTable, IdaEnvironment* fullBackup,
                                         std::list<IdaEnvironment*>& incrementalBackups, bool useExistingTable) {
    const char* fn = "initialize";
    AzureTableStorage client(credentials, *environment);
    const std::string label = credentials.accountName + ":" + destinationTable;

    IdaEnvironment* chosen = fullBackup;
    if (!chosen) {
        if (!useExistingTable) {
            logAndReport(environment, fn,
                         "A full backup is required when not using an existing table for restore destination");
            return false;
        }
        if (!incrementalBackups.empty() && incrementalBackups.front()) chosen = incrementalBackups.front();
        if (!chosen) {
            logAndReport(environment, fn, "At least one backup is required in order to restore");
            return false;
        }
    }

    std::string descriptionText;
    auto descriptionInput = chosen->createDescriptionInput();
    if (!descriptionInput || !descriptionInput->getContents(descriptionText)) {
        logAndReport(environment, fn, "Failed to read full backup table description");
        return false;
    }
    if (auto stored = parseStoredDescription(descriptionText)) description = stored;

    auto existing = client.describeTable(destinationTable);
    if (existing.errorKind == 0) {
        if (!overwrite || useExistingTable) return true;
        environment->logMessage(fn, "Deleting table " + destinationTable);
        client.deleteTable(destinationTable);
        if (!client.waitForDeletedTable(destinationTable, kTableWaitMs)) {
            logAndReport(environment, fn, "Timed out waiting for " + label + " deleted");
            return false;
        }
    } else if (existing.errorKind == ResourceNotFound) {
        if (useExistingTable) return true;
    } else {
        logAndReport(environment, fn,
                     "An error was encountered, other than \"not found\", while describing destination table " +
                         label);
        return false;
    }

    // The payload depends on the destination name alone, so an empty description serves.
    std::string payload = description ? description->createTableRequest(destinationTable)
                                      : AzureTableDescription(rapidjson::Value()).createTableRequest(destinationTable);
    environment->logMessage(fn, "Creating destination table: " + label);
    environment->logMessage(fn, "Full backup description: " + descriptionText);
    auto created = client.createTable(payload);
    if (created.errorKind != 0) {
        logAndReport(environment, fn, "Create failed with " + created.errorMessage);
        return false;
    }
    if (!client.waitForActiveTable(destinationTable, kTableWaitMs)) {
        logAndReport(environment, fn, "Timed out waiting for " + label + " active");
        return false;
    }
    return true;
}

bool AzureTableRestoreRunner::prepareIncrementalRestore(AzureTableCredentials, IdaEnvironment* incrementalBackup,
                                                        std::string) {
    std::string metadata;
    auto input = incrementalBackup ? incrementalBackup->createMetadataInput() : nullptr;
    if (!input || !input->getContents(metadata)) {
        logAndReport(environment, "prepareIncrementalRestore",
                     "Unable to read metadata file for incremental " +
                         (incrementalBackup ? incrementalBackup->getName() : std::string()));
        return false;
    }
    return true;
}

bool AzureTableRestoreRunner::conclude(std::string, bool) { return true; }

void AzureTableRestoreRunner::reportReplayFailure(IdaEnvironment* backup, const std::string& destinationTable) {
    // The replay reported its reason on the backup's environment; the job's must know too.
    std::string reason = backup->failureMessage();
    logAndReport(environment, "execute",
                 "Replaying " + backup->getName() + " into table " + destinationTable + " failed" +
                     (reason.empty() ? std::string() : ": " + reason));
}

bool AzureTableRestoreRunner::execute(bool overwrite, std::string destinationTable, IdaEnvironment* fullBackup,
                                      std::list<IdaEnvironment*> incrementalBackups, bool useExistingTable) {
    const char* fn = "execute";
    AzureTableStorage client(credentials, *environment);
    if (!initialize(overwrite, destinationTable, fullBackup, incrementalBackups, useExistingTable)) return false;

    const std::string sourceTable = description ? description->tableName : std::string();
    bool result = true;
    if (fullBackup) {
        environment->logMessage(fn, "Replaying full backup");
        FullRestoreArgs args;
        args.credentials = &credentials;
        args.destinationTable = destinationTable;
        args.sourceTable = sourceTable;
        args.environment = fullBackup;
        args.startFlag = true;
        fullRestoreThread(&args);
        // Later backups only change entities the earlier ones wrote: replaying them over an
        // incomplete table would still leave it incomplete.
        result = args.succeeded;
        if (!result) reportReplayFailure(fullBackup, destinationTable);
    }
    for (IdaEnvironment* incremental : incrementalBackups) {
        if (!result) break;
        if (!prepareIncrementalRestore(credentials, incremental, destinationTable)) {
            result = false;
            break;
        }
        IncrementalRestoreArgs args;
        args.credentials = &credentials;
        args.destinationTable = destinationTable;
        args.sourceTable = sourceTable;
        args.environment = incremental;
        args.reserved = 0;
        args.startFlag = true;
        incrementalRestoreThread(&args);
        result = args.succeeded;
        if (!result) reportReplayFailure(incremental, destinationTable);
    }
    environment->logMessage(fn, "All items written to destination table " + destinationTable);
    if (!conclude(destinationTable, result) || !result) {
        environment->logMessage(fn, "Restore failed");
        return false;
    }
    environment->logMessage(fn, "Restore complete");
    return true;
}

int AzureTableRestoreRunner::fullRestoreThread(void* argument) {
    auto* args = static_cast<FullRestoreArgs*>(argument);
    args->succeeded = false;
    ReplayTask task{"fullRestoreThread", true,           args->credentials, args->destinationTable,
                    args->sourceTable,   args->environment, args->startFlag, args->input};
    args->succeeded = replay(task);
    return 0;
}

int AzureTableRestoreRunner::incrementalRestoreThread(void* argument) {
    auto* args = static_cast<IncrementalRestoreArgs*>(argument);
    args->succeeded = false;
    ReplayTask task{"incrementalRestoreThread", false,           args->credentials, args->destinationTable,
                    args->sourceTable,          args->environment, args->startFlag, args->input};
    args->succeeded = replay(task);
    return 0;
}

bool AzureTableRestoreRunner::executeFullRestoreLowLevel(FullRestoreArgs* args) {
    fullRestoreThread(args);
    return args->succeeded;
}

bool AzureTableRestoreRunner::executeIncrementalRestoreLowLevel(IncrementalRestoreArgs* args) {
    incrementalRestoreThread(args);
    return args->succeeded;
}

// ---------------------------------------------------------------------------------------------

BufferedRestoreFromFull::BufferedRestoreFromFull(IdaEnvironment* environment, KxCriticalSectionH* lock)
    : IdaBufferedInput(lock), m_environment(environment) {}
BufferedRestoreFromFull::~BufferedRestoreFromFull() = default;

bool BufferedRestoreFromFull::initialize(AzureTableCredentials* credentials, std::string& sourceTable,
                                         std::string& destinationTable, IdaEnvironment& environment) {
    m_credentials = *credentials;
    auto args = std::make_shared<FullRestoreArgs>();
    args->credentials = &m_credentials;
    args->destinationTable = destinationTable;
    args->sourceTable = sourceTable;
    args->environment = &environment;
    args->succeeded = false;
    args->startFlag = true;
    args->input = this;
    m_args = std::move(args);
    return true;
}

bool BufferedRestoreFromFull::initializeRestore() { return true; }

bool BufferedRestoreFromFull::startRestore(bool flag) {
    if (!m_args) {
        if (m_environment) logAndReport(m_environment, "startRestore", "Restore started before the input was initialized");
        return false;
    }
    m_args->startFlag = flag;
    return AzureTableRestoreRunner::executeFullRestoreLowLevel(m_args.get());
}

BufferedRestoreFromIncremental::BufferedRestoreFromIncremental(IdaEnvironment* environment, KxCriticalSectionH* lock)
    : IdaBufferedInput(lock), m_environment(environment) {}
BufferedRestoreFromIncremental::~BufferedRestoreFromIncremental() = default;

bool BufferedRestoreFromIncremental::initialize(AzureTableCredentials* credentials, std::string& sourceTable,
                                                std::string& destinationTable, IdaEnvironment* environment,
                                                long long reserved) {
    m_credentials = *credentials;
    auto args = std::make_shared<IncrementalRestoreArgs>();
    args->credentials = &m_credentials;
    args->destinationTable = destinationTable;
    args->sourceTable = sourceTable;
    args->environment = environment;
    args->reserved = reserved;
    args->succeeded = false;
    args->startFlag = true;
    args->input = this;
    m_args = std::move(args);
    return true;
}

bool BufferedRestoreFromIncremental::initializeRestore() { return true; }

bool BufferedRestoreFromIncremental::startRestore(bool flag) {
    if (!m_args) {
        if (m_environment) logAndReport(m_environment, "startRestore", "Restore started before the input was initialized");
        return false;
    }
    m_args->startFlag = flag;
    return AzureTableRestoreRunner::executeIncrementalRestoreLowLevel(m_args.get());
}

BufferedRestoreIgnoreData::BufferedRestoreIgnoreData(IdaEnvironment* environment, KxCriticalSectionH* lock)
    : IdaBufferedInput(lock), m_environment(environment) {}
BufferedRestoreIgnoreData::~BufferedRestoreIgnoreData() = default;
bool BufferedRestoreIgnoreData::processBuffer(void*, unsigned long) { return true; }
bool BufferedRestoreIgnoreData::deferredProcessBuffer(bool) { return true; }
bool BufferedRestoreIgnoreData::initializeRestore() { return true; }
bool BufferedRestoreIgnoreData::startRestore(bool) { return true; }
bool BufferedRestoreIgnoreData::closeChunk() { return true; }
