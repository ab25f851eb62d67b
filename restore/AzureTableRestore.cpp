#include "restore/AzureTableRestore.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
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

// Writes the lines of one backup into the destination table. The caller's thread reads the
// input a block of lines at a time and deals them out to lanes; each lane has a thread and a
// connection of its own and writes what it was dealt in that order, taking up to kLaneLines lines
// at a time and resubmitting what the service refused before it takes more. While any line of a
// partition is in a lane (queued or being written), every further line of that partition goes to
// the same lane, so one partition's lines reach the service in backup order and a later version
// of an entity is never written before an earlier one; a partition with no line in any lane goes
// to the lane with the least work. No lane waits for another: a slow or refused partition holds
// up only its own lane (and the reader, once that lane is full). Memory is bounded by the lanes'
// capacities, the reader's block and the spare lines kept for it.
class Replay {
public:
    // Each lane queues at most this much and writes at most this much at a time (a line more when
    // the bytes run over): all lanes together hold at most kReplayWindowLines * kReplayConnections
    // lines and about kReplayWindowBytes bytes.
    static constexpr size_t kLaneLines = AzureTableRestoreRunner::kReplayWindowLines / 2;
    static constexpr size_t kLaneBytes =
        AzureTableRestoreRunner::kReplayWindowBytes / (2 * AzureTableRestoreRunner::kReplayConnections);
    // A lane is woken when this much is queued for it (or the dealing ended), not for every line:
    // its batches stay full and the threads are not switched in and out for each line.
    static constexpr size_t kWakeLines = 500;
    // Written lines go back to the reader, which reads the next lines into them: no line is
    // allocated on one thread and freed on another. A lane hands back up to kLaneLines at once,
    // so room is kept for a few lanes' worth (the reader would otherwise allocate anew while the
    // lanes freed what did not fit); at most this many lines and bytes of storage, none larger.
    static constexpr size_t kSpareLines = kLaneLines * AzureTableRestoreRunner::kReplayConnections;
    static constexpr size_t kSpareBytes = 2 * kLaneBytes;
    static constexpr size_t kSpareLineBytes = 2048;
    // Lines taken from the input at a time and dealt under one hold of the lock (a line more when
    // the bytes run over): the reader holds at most this much beyond what the lanes hold.
    static constexpr size_t kDealLines = 256;
    static constexpr size_t kDealBytes = 256u << 10;

    explicit Replay(const ReplayTask& task) : m_task(task), m_env(task.environment) {
        for (size_t i = 0; i < AzureTableRestoreRunner::kReplayConnections; ++i) m_lanes.emplace_back(new Lane);
    }
    ~Replay() { finish(); }

    // Returns true when every line of the input was written.
    bool run(IdaInput& input) {
        std::vector<std::string> block;
        bool dealt = true;
        while (const size_t count = input.getLines(block, kDealLines, kDealBytes)) {
            if (m_partitionOf.size() < count) m_partitionOf.resize(count);
            for (size_t i = 0; i < count; ++i) {
                if (block[i].empty())
                    m_env->logMessage(m_task.functionName, "Empty line");
                else
                    m_partitionOf[i] = table_text::partitionGroupOf(block[i]);
            }
            if (!deal(block, count)) {
                dealt = false;
                break;
            }
        }
        const bool written = finish() && dealt;
        if (!written) {
            input.close();  // releases a feeder that waits for room
            return false;
        }
        if (m_task.full) m_env->logMessage(m_task.functionName, "FULL restore done");
        return true;
    }

private:
    // Consecutive lines of one partition in a lane.
    struct Run {
        std::string partition;
        size_t lines;
    };
    struct Lane {
        std::deque<std::string> queue;  // dealt, not yet taken
        std::deque<Run> runs;           // the partitions of `queue`, in order
        size_t queuedBytes = 0;
        size_t working = 0;  // lines taken and not yet written
        std::condition_variable wake;  // the lane's thread waits on it
        std::unique_ptr<AzureTableStorage> client;
        std::thread thread;

        bool ready() const { return queue.size() >= kWakeLines || queuedBytes >= kLaneBytes; }
    };

    // Moves each non-empty line of block[0, count) into its partition's lane (m_partitionOf names
    // the partitions), waiting while that lane is full, and leaves a spare line (a written one,
    // its storage kept) or an empty one in its place. One hold of the lock for the whole block
    // but for the waits. False once a lane has failed: the replay stops reading.
    bool deal(std::vector<std::string>& block, size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        // The previous line's partition: lines of one partition mostly come in long runs. Its
        // entry stays in the map while it counts lines not yet written (this block's included).
        std::pair<const std::string, InLane>* last = nullptr;
        for (size_t i = 0; i < count; ++i) {
            std::string& line = block[i];
            if (line.empty()) continue;
            const std::string& partition = m_partitionOf[i];
            if (!last || last->first != partition) {
                auto found = m_partitions.find(partition);
                if (found == m_partitions.end()) {
                    size_t least = 0;
                    for (size_t l = 1; l < m_lanes.size(); ++l)
                        if (load(*m_lanes[l]) < load(*m_lanes[least])) least = l;
                    found = m_partitions.emplace(partition, InLane{least, 0}).first;
                }
                last = &*found;
            }
            // Counted before the wait, so the lane cannot let go of the partition meanwhile.
            ++last->second.lines;
            const size_t index = last->second.lane;
            Lane& lane = *m_lanes[index];
            if (lane.queue.size() >= kLaneLines || lane.queuedBytes >= kLaneBytes) {
                m_readerWaits = true;
                m_room.wait(lock,
                            [&] { return m_failed || (lane.queue.size() < kLaneLines && lane.queuedBytes < kLaneBytes); });
                m_readerWaits = false;
            }
            if (m_failed) return false;
            if (lane.runs.empty() || lane.runs.back().partition != partition) lane.runs.push_back(Run{partition, 0});
            ++lane.runs.back().lines;
            const bool wasReady = lane.ready();
            lane.queuedBytes += line.size();
            lane.queue.push_back(std::move(line));
            if (!m_spares.empty()) {
                line.swap(m_spares.back());
                m_spares.pop_back();
                m_spareBytes -= line.capacity();
            }
            if (!lane.thread.joinable()) {
                lane.client.reset(new AzureTableStorage(*m_task.credentials, *m_env));
                lane.thread = std::thread([this, index] { work(index); });
            }
            if (!wasReady && lane.ready()) lane.wake.notify_one();
        }
        return true;
    }

    static size_t load(const Lane& lane) { return lane.queue.size() + lane.working; }

    // Ends the dealing and waits for every lane to write what it holds (a lane that failed stops;
    // the others still write what they were dealt). True when no lane failed.
    bool finish() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
            for (auto& lane : m_lanes) lane->wake.notify_one();
        }
        for (auto& lane : m_lanes)
            if (lane->thread.joinable()) lane->thread.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_failed;
    }

    // A lane's thread: takes what was dealt to it and writes it, until the dealing has ended and
    // its queue is empty, or it fails.
    void work(size_t index) {
        Lane& lane = *m_lanes[index];
        std::vector<std::string> lines, written;
        std::vector<Run> runs;
        while (true) {
            lines.clear();
            written.clear();
            runs.clear();
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                lane.wake.wait(lock, [&] { return lane.ready() || m_closed || m_failed; });
                if (lane.queue.empty()) return;
                size_t bytes = 0;
                while (!lane.queue.empty() && lines.size() < kLaneLines && bytes < kLaneBytes) {
                    bytes += lane.queue.front().size();
                    lines.push_back(std::move(lane.queue.front()));
                    lane.queue.pop_front();
                }
                for (size_t left = lines.size(); left > 0;) {
                    Run& run = lane.runs.front();
                    const size_t taken = std::min(left, run.lines);
                    runs.push_back(Run{run.partition, taken});
                    run.lines -= taken;
                    left -= taken;
                    if (run.lines == 0) lane.runs.pop_front();
                }
                lane.queuedBytes -= bytes;
                lane.working = lines.size();
                if (m_readerWaits) m_room.notify_one();
            }
            const bool done = write(*lane.client, lines, written);
            std::lock_guard<std::mutex> lock(m_mutex);
            lane.working = 0;
            for (std::string& line : written) {
                if (m_spares.size() >= kSpareLines || m_spareBytes >= kSpareBytes) break;
                if (line.capacity() > kSpareLineBytes) continue;
                m_spareBytes += line.capacity();
                m_spares.push_back(std::move(line));
            }
            if (!done) {
                m_failed = true;
                m_room.notify_one();
                for (auto& other : m_lanes) other->wake.notify_one();
                return;
            }
            for (const Run& run : runs) {
                auto found = m_partitions.find(run.partition);
                if ((found->second.lines -= run.lines) == 0) m_partitions.erase(found);
            }
        }
    }

    // Writes the lines, resubmitting those the service refused with growing pauses; the written
    // ones are moved to `written`. False (and the reason reported) when some could not be written.
    bool write(AzureTableStorage& client, std::vector<std::string>& pending, std::vector<std::string>& written) {
        if (!submit(client, pending, written)) return false;
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
            if (!submit(client, pending, written)) return false;
        }
        return true;
    }

    // One batch call; `pending` becomes what it did not write, the written lines go to `written`.
    // The call moves every line it did not write into its outcome; a call that reports an error
    // instead has lost them, and the lane fails.
    bool submit(AzureTableStorage& client, std::vector<std::string>& pending, std::vector<std::string>& written) {
        const size_t count = pending.size();
        auto outcome = client.batchInsertInPlace(m_task.destinationTable, pending);
        for (std::string& line : pending)
            if (!line.empty()) written.push_back(std::move(line));
        pending.clear();
        if (outcome.errorKind != 0) {
            logAndReport(m_env, m_task.functionName,
                         "A batch call into table " + m_task.destinationTable + " failed without handing back its " +
                             std::to_string(count) + " items; they were not restored");
            return false;
        }
        m_env->countWritten(count - (outcome.result ? outcome.result->size() : 0));
        if (outcome.result && !outcome.result->empty()) {
            pending = std::move(*outcome.result);
            m_env->logMessage(m_task.functionName, "Items left " + std::to_string(pending.size()) + "\n");
        }
        return true;
    }

    struct InLane {
        size_t lane;
        size_t lines;  // dealt to it and not yet written
    };

    const ReplayTask& m_task;
    IdaEnvironment* m_env;
    std::mutex m_mutex;  // guards everything below but the lanes' clients and threads
    std::condition_variable m_room;  // the reader waits on it for room in a lane
    bool m_readerWaits = false;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    std::unordered_map<std::string, InLane> m_partitions;  // partitions with lines in a lane
    std::vector<std::string> m_spares;  // written lines, for the reader to read into
    size_t m_spareBytes = 0;            // their storage
    std::vector<std::string> m_partitionOf;  // the reader's own: the partition of each line of its block
    bool m_closed = false, m_failed = false;
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
