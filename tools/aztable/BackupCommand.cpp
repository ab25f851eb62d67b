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
#include "ProgressTicker.h"
#include "backup/AzureTableBackupJob.h"

namespace {

const char* const kUsage =
    "usage: aztable backup-table --table T --out DIR [--since SECONDS] [--until SECONDS]\n"
    "                            [--chunk-size BYTES] [--connection-string S] [--debug-log FILE]\n"
    "\n"
    "Backs up table T into the folder DIR: description.json, metadata.json, data chunks of JSON\n"
    "lines with checksums, and the manifest backup.json (see README, \"Backup store format\").\n"
    "\n"
    "  --table T            the table to back up\n"
    "  --out DIR            the backup folder (created when missing)\n"
    "  --since SECONDS      incremental: only entities changed after this time (seconds since 1970)\n"
    "  --until SECONDS      only entities changed up to this time (default: now)\n"
    "  --chunk-size BYTES   start a new chunk file once one reaches this size (default 16 MiB)\n";

// Running the command again on the folder of an interrupted backup resumes it; on a finished one
// it changes nothing. SIGINT/SIGTERM stop the scan at the next page boundary.

std::atomic<AzureTableBackupJob*> g_job{nullptr};
std::atomic<int> g_signals{0};

void onSignal(int) {
    if (g_signals.fetch_add(1) > 0) _exit(130);  // a second request: leave now, the folder is consistent
    static const char text[] = "\naztable: stopping at the next page boundary (again to quit at once)\n";
    ssize_t ignored = ::write(2, text, sizeof text - 1);
    (void)ignored;
    if (AzureTableBackupJob* job = g_job.load()) job->requestStop();
}

bool parseCount(const std::string& text, long long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return false;
    value = std::stoll(text);
    return true;
}

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}

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
                      entities, humanBytes(p->bytes.load()).c_str());
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
        bool ok = true;
        if (name == "--table") table = value;
        else if (name == "--out") out = value;
        else if (name == "--since") ok = parseCount(value, since);
        else if (name == "--until") ok = parseCount(value, until);
        else if (name == "--chunk-size") ok = parseCount(value, chunkSize) && chunkSize > 0;
        else {
            std::fprintf(stderr, "aztable backup-table: unknown option '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "aztable backup-table: %s wants a positive whole number, not '%s'\n", name.c_str(),
                         value.c_str());
            return 2;
        }
    }
    if (table.empty() || out.empty()) {
        std::fprintf(stderr, "aztable backup-table: --table and --out are required\n%s", kUsage);
        return 2;
    }
    long long now = static_cast<long long>(std::time(nullptr));
    if (until > now) {
        std::fprintf(stderr, "aztable backup-table: --until %lld lies in the future\n", until);
        return 2;
    }
    if (since >= 0 && until >= 0 && since >= until) {
        std::fprintf(stderr, "aztable backup-table: --since must be earlier than --until\n");
        return 2;
    }
    if (since == 0) {
        std::fprintf(stderr, "aztable backup-table: --since must be after 1970 (leave it out for a full backup)\n");
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
    // A full backup still has an upper bound, so that it is well defined and the next
    // incremental backup can start exactly there; an interrupted one keeps the bound it had.
    options.toTime = until >= 0 ? until : now;
    options.keepStoredUpperBound = until < 0;
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
            while (g_signals.load() == 0) ::poll(nullptr, 0, 50);
        };
        options.commitPolicy.pages = pausePages + 2;
        // Keep the scan from running ahead while paused: a stop then lands within the table.
        options.bufferCapacity = size_t(64) << 10;
        options.commitPolicy.milliseconds = 0;
    }

    AzureTableBackupJob job(credentials, options);
    g_job.store(&job);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt {}, oldTerm {};
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);

    auto started = std::chrono::steady_clock::now();
    AzureTableBackupJob::Result result;
    std::string message;
    {
        aztable::ProgressTicker progress(backupProgress(job));
        result = job.run(message);
    }
    g_job.store(nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    using Result = AzureTableBackupJob::Result;
    switch (result) {
        case Result::Refused:
            std::fprintf(stderr, "aztable backup-table: %s\n", message.c_str());
            return 1;
        case Result::AlreadyComplete:
            std::fprintf(stderr, "aztable backup-table: %s; nothing to do\n", message.c_str());
            return 0;
        case Result::Failed:
            std::fprintf(stderr,
                         "aztable backup-table: the backup of %s failed: %s\n"
                         "  %s keeps every page stored so far; run the same command again to resume\n",
                         table.c_str(), message.c_str(), out.c_str());
            return 1;
        case Result::Stopped:
            std::fprintf(stderr, "aztable backup-table: %s (folder %s)\n", message.c_str(), out.c_str());
            return 3;
        case Result::Complete: break;
    }
    const platform::store::BackupManifest& m = job.environment()->manifest();
    const platform::store::BackupProgress* p = job.progress();
    uint64_t entitiesThisRun = p ? p->sessionEntities.load() : 0;
    uint64_t bytesThisRun = p ? p->sessionBytes.load() : 0;
    double rate = static_cast<double>(entitiesThisRun) / (seconds > 0 ? seconds : 1);
    std::string resumed = entitiesThisRun == m.totalLines()
                              ? std::string()
                              : " (" + std::to_string(entitiesThisRun) + " entities, " +
                                    humanBytes(static_cast<double>(bytesThisRun)) + " in this run)";
    std::printf("backed up %s%s: %llu entities, %s in %.1f s, %.0f entities/s%s into %s\n", table.c_str(),
                m.incremental ? " (incremental)" : "", static_cast<unsigned long long>(m.totalLines()),
                humanBytes(static_cast<double>(m.totalBytes())).c_str(), seconds, rate, resumed.c_str(),
                out.c_str());
    return 0;
}

}  // namespace

AZTABLE_COMMAND("backup-table", "back up one table into a folder (resumable)", backupTable);
