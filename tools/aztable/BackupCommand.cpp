// aztable backup-table: backs one table up into a folder of the backup store, resumably.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "Connection.h"
#include "Explain.h"
#include "Interrupt.h"
#include "ProgressTicker.h"
#include "backup/AzureTableBackupJob.h"
#include "platform/util/Text.h"
#include "table_service/AzureTableStorage.h"

namespace {

const char* const kUsage =
    "usage: aztable backup-table --table T --out DIR [--since TIME] [--until TIME]\n"
    "                            [--chunk-size BYTES] [connection options]\n"
    "\n"
    "Backs up table T into the folder DIR: description.json, metadata.json, data chunks of JSON\n"
    "lines with checksums, and the manifest backup.json (see README, \"Backup store format\").\n"
    "TIME is seconds since 1970 or an ISO 8601 time such as 2026-12-06T10:00:00Z.\n"
    "\n"
    "  --table T            the table to back up\n"
    "  --out DIR            the backup folder (created when missing)\n"
    "  --since TIME         incremental: only entities changed after TIME; give the value the\n"
    "                       previous backup printed as the next --since\n"
    "  --until TIME         only entities changed up to TIME (default: no limit; every entity that\n"
    "                       exists when the scan passes it is backed up)\n"
    "  --chunk-size BYTES   start a new chunk file once one reaches this size (default 16 MiB)\n";

// Running the command again on the folder of an interrupted backup resumes it; on a finished one
// it changes nothing. SIGINT/SIGTERM stop the scan and leave a resumable folder.

std::atomic<AzureTableBackupJob*> g_job{nullptr};

void stopJob() {
    if (AzureTableBackupJob* job = g_job.load()) job->requestStop();
}

bool parseCount(const std::string& text, long long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return false;
    value = std::stoll(text);
    return true;
}

std::string timeText(long long seconds) { return AzureTableStorage::toAzureFormatTime(seconds); }

// The progress line of a running backup. Its rate counts from the first look at the job, so
// entities a resumed job found already stored do not inflate it; the first line has no rate yet.
std::function<std::string()> backupProgress(const AzureTableBackupJob& job) {
    struct Baseline {
        long long entities = -1;
        std::chrono::steady_clock::time_point time;
    };
    auto baseline = std::make_shared<Baseline>();
    return [&job, baseline]() -> std::string {
        const platform::store::BackupProgress* p = job.progress();
        if (!p) return "";
        auto now = std::chrono::steady_clock::now();
        const unsigned long long entities = p->entities.load();
        if (baseline->entities < 0) {
            baseline->entities = static_cast<long long>(entities);
            baseline->time = now;
        }
        double seconds = std::chrono::duration<double>(now - baseline->time).count();
        char line[160];
        std::snprintf(line, sizeof line, "  %llu pages, %llu entities, %s", static_cast<unsigned long long>(p->pages.load()),
                      entities, aztable::humanBytes(p->bytes.load()).c_str());
        std::string text = line;
        if (seconds > 0)
            text += ", " + std::to_string(static_cast<long long>((entities - baseline->entities) / seconds)) +
                    " entities/s";
        return text;
    };
}

int backupTable(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    aztable::ConnectionOptions connection;
    std::string error;
    if (!aztable::takeConnectionOptions(args, connection, error)) {
        std::fprintf(stderr, "aztable backup-table: %s\n", error.c_str());
        return 2;
    }
    std::string table, out;
    long long since = -1, until = -1, chunkSize = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(aztable::kConnectionOptionsHelp, stdout);
            return 0;
        }
        std::string name = arg, value;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            std::fprintf(stderr, "aztable backup-table: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        std::string why;
        if (name == "--table") {
            table = value;
        } else if (name == "--out") {
            out = value;
        } else if (name == "--since" || name == "--until") {
            if (!platform::text::parseTimeText(value, name == "--since" ? since : until, why)) {
                std::fprintf(stderr, "aztable backup-table: %s: %s\n", name.c_str(), why.c_str());
                return 2;
            }
        } else if (name == "--chunk-size") {
            if (!parseCount(value, chunkSize) || chunkSize <= 0) {
                std::fprintf(stderr, "aztable backup-table: --chunk-size wants a positive whole number, not '%s'\n",
                             value.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "aztable backup-table: unknown option '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (table.empty() || out.empty()) {
        std::fprintf(stderr, "aztable backup-table: --table and --out are required\n%s", kUsage);
        return 2;
    }
    if (!aztable::tableNameProblem(table).empty()) {
        std::fprintf(stderr, "aztable backup-table: %s\n", aztable::tableNameProblem(table).c_str());
        return 2;
    }
    if (since >= 0 && until >= 0 && since >= until) {
        std::fprintf(stderr, "aztable backup-table: --since must be earlier than --until\n");
        return 2;
    }
    if (since == 0 || until == 0) {
        std::fprintf(stderr, "aztable backup-table: a time bound must lie after 1970 (leave --since out for a full "
                             "backup)\n");
        return 2;
    }

    AzureTableCredentials credentials;
    if (!aztable::connect(connection, credentials, error)) {
        std::fprintf(stderr, "aztable backup-table: %s\n", error.c_str());
        return 2;
    }

    AzureTableBackupJobOptions options;
    options.folder = out;
    options.table = table;
    options.incremental = since > 0;
    options.fromTime = since > 0 ? since : 0;
    options.toTime = until > 0 ? until : 0;  // none: the job records a bound from the service's clock
    if (chunkSize > 0) options.chunkSizeBytes = static_cast<uint64_t>(chunkSize);

    // Test hook: make the pages up to N durable, store one more page without making it durable,
    // say so and wait to be killed or signalled (a signal then stops the backup as usual).
    if (const char* pause = std::getenv("AZTABLE_TEST_PAUSE_AFTER_PAGES")) {
        uint64_t pausePages = std::strtoull(pause, nullptr, 10);
        options.onPage = [pausePages](uint64_t pages, platform::store::BackupDataOutput& data) {
            if (pages == pausePages) data.flush();
            if (pages != pausePages + 1) return;
            std::fprintf(stderr, "aztable: test pause after %llu pages\n", static_cast<unsigned long long>(pausePages));
            std::fflush(stderr);
            while (!aztable::InterruptGuard::stopRequested()) ::poll(nullptr, 0, 50);
        };
        options.commitPolicy.pages = pausePages + 2;
        // Keep the scan from running ahead while paused: a stop then lands within the table.
        options.bufferCapacity = size_t(64) << 10;
        options.commitPolicy.milliseconds = 0;
    }

    AzureTableBackupJob job(credentials, options);
    g_job.store(&job);
    auto started = std::chrono::steady_clock::now();
    AzureTableBackupJob::Result result;
    std::string message;
    {
        aztable::InterruptGuard interrupt("\naztable: stopping; pages stored so far are kept (again to quit at once)\n",
                                          stopJob);
        aztable::ProgressTicker progress(backupProgress(job));
        result = job.run(message);
    }
    g_job.store(nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const std::string& account = credentials.accountName;
    using Result = AzureTableBackupJob::Result;
    const platform::store::BackupProgress* p = job.progress();
    const bool pagesStored = p && p->durablePages.load() > 0;
    switch (result) {
        case Result::Refused:
            std::fprintf(stderr, "aztable backup-table: %s\n", message.c_str());
            return 1;
        case Result::AlreadyComplete:
            std::fprintf(stderr, "aztable backup-table: %s; nothing to do\n", message.c_str());
            return 0;
        case Result::Failed: {
            std::string reason = job.serviceError().empty()
                                     ? message
                                     : aztable::explainServiceFailure(job.serviceError(), table, account);
            std::fprintf(stderr, "aztable backup-table: the backup of %s failed: %s\n", table.c_str(), reason.c_str());
            if (pagesStored)
                std::fprintf(stderr, "  %s keeps every page stored so far; run the same command again to resume\n",
                             out.c_str());
            return 1;
        }
        case Result::Stopped:
            std::fprintf(stderr, "aztable backup-table: %s (folder %s)\n", message.c_str(), out.c_str());
            return 3;
        case Result::Complete: break;
    }
    const platform::store::BackupManifest& m = job.environment()->manifest();
    uint64_t entitiesThisRun = p ? p->sessionEntities.load() : 0;
    uint64_t bytesThisRun = p ? p->sessionBytes.load() : 0;
    double rate = static_cast<double>(entitiesThisRun) / (seconds > 0 ? seconds : 1);
    std::string resumed = entitiesThisRun == m.totalLines()
                              ? std::string()
                              : " (" + std::to_string(entitiesThisRun) + " entities, " +
                                    aztable::humanBytes(static_cast<double>(bytesThisRun)) + " in this run)";
    std::printf("backed up %s%s: %llu entities, %s in %.1f s, %.0f entities/s%s into %s\n", table.c_str(),
                m.incremental ? " (incremental)" : "", static_cast<unsigned long long>(m.totalLines()),
                aztable::humanBytes(static_cast<double>(m.totalBytes())).c_str(), seconds, rate, resumed.c_str(),
                out.c_str());
    std::printf("  holds every change up to %s%s; next incremental backup: --since %lld\n", timeText(m.toTime).c_str(),
                m.bounded ? "" : " (the service's clock at the start, less a margin)", m.toTime);
    return 0;
}

}  // namespace

AZTABLE_COMMAND("backup-table", "back up one table into a folder (resumable)", backupTable);
