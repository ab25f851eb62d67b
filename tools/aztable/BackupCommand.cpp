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
#include "Report.h"
#include "backup/AzureTableBackupJob.h"
#include "platform/util/Text.h"
#include "table_service/AzureTableStorage.h"

namespace {

const char* const kDescription =
    "Backs up table T into the folder DIR: description.json, metadata.json, data chunks of JSON\n"
    "lines with checksums, and the manifest backup.json (see README, \"Backup store format\").\n"
    "TIME is seconds since 1970 or an ISO 8601 time such as 2026-12-06T10:00:00Z.\n"
    "Running the same command again on the folder of an interrupted backup resumes it.";

// Running the command again on the folder of an interrupted backup resumes it; on a finished one
// it changes nothing. SIGINT/SIGTERM stop the scan and leave a resumable folder.

std::atomic<AzureTableBackupJob*> g_job{nullptr};

void stopJob() {
    if (AzureTableBackupJob* job = g_job.load()) job->requestStop();
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

struct Options {
    aztable::ConnectionOptions connection;
    std::string table, out, since, until;
    uint64_t chunkSize = 0;
    bool json = false;
};

int backupTable(const Options& o) {
    aztable::Report report("backup-table", o.json);
    using platform::Status;
    auto usageError = [&](const std::string& message) { return report.fail(Status(Status::Code::BadUsage, message)); };
    long long since = -1, until = -1;
    std::string why;
    if (!o.since.empty() && !platform::text::parseTimeText(o.since, since, why)) return usageError("--since: " + why);
    if (!o.until.empty() && !platform::text::parseTimeText(o.until, until, why)) return usageError("--until: " + why);
    if (since >= 0 && until >= 0 && since >= until) return usageError("--since must be earlier than --until");
    if (since == 0 || until == 0)
        return usageError("a time bound must lie after 1970 (leave --since out for a full backup)");

    AzureTableCredentials credentials;
    std::string error;
    if (!aztable::connect(o.connection, credentials, error)) return usageError(error);

    AzureTableBackupJobOptions options;
    options.folder = o.out;
    options.table = o.table;
    options.incremental = since > 0;
    options.fromTime = since > 0 ? since : 0;
    options.toTime = until > 0 ? until : 0;  // none: the job records a bound from the service's clock
    if (o.chunkSize > 0) options.chunkSizeBytes = o.chunkSize;

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
    AzureTableBackupJobResult r;
    Status status;
    {
        aztable::InterruptGuard interrupt("\naztable: stopping; pages stored so far are kept (again to quit at once)\n",
                                          stopJob);
        aztable::ProgressTicker progress(backupProgress(job));
        status = job.run(r);
    }
    g_job.store(nullptr);

    report.set("table", r.table).set("account", r.account).set("folder", r.folder);
    report.set("kind", r.incremental ? "incremental" : "full").set("alreadyComplete", r.alreadyComplete);
    report.set("entities", r.entities).set("bytes", r.bytes).set("pages", r.pages).set("chunks", r.chunks);
    report.set("entitiesThisRun", r.entitiesThisRun).set("bytesThisRun", r.bytesThisRun);
    report.set("seconds", r.seconds).set("fromTime", r.fromTime).set("toTime", r.toTime).set("bounded", r.bounded);
    if (status.ok()) report.set("nextSince", r.toTime);
    if (r.alreadyComplete) {
        std::fprintf(stderr, "aztable backup-table: %s; nothing to do\n", status.message.c_str());
        return report.finish();
    }
    switch (status.code) {
        case Status::Code::Ok: break;
        case Status::Code::Stopped:
            return report.fail(Status(status.code, status.message + " (folder " + o.out + ")"));
        case Status::Code::Failed: {
            std::string reason = r.serviceError.empty()
                                     ? status.message
                                     : aztable::explainServiceFailure(r.serviceError, r.table, r.account);
            std::vector<std::string> more;
            if (r.pagesStored)
                more.push_back("  " + o.out + " keeps every page stored so far; run the same command again to resume");
            return report.fail(Status(status.code, "the backup of " + r.table + " failed: " + reason), more);
        }
        default: return report.fail(status);
    }
    const double seconds = r.seconds;
    double rate = static_cast<double>(r.entitiesThisRun) / (seconds > 0 ? seconds : 1);
    std::string resumed = !r.resumed ? std::string()
                                     : " (" + std::to_string(r.entitiesThisRun) + " entities, " +
                                           aztable::humanBytes(static_cast<double>(r.bytesThisRun)) + " in this run)";
    report.say("backed up %s%s: %llu entities, %s in %.1f s, %.0f entities/s%s into %s\n", r.table.c_str(),
               r.incremental ? " (incremental)" : "", r.entities, aztable::humanBytes(static_cast<double>(r.bytes)).c_str(),
               seconds, rate, resumed.c_str(), r.folder.c_str());
    report.say("  holds every change up to %s%s; next incremental backup: --since %lld\n", timeText(r.toTime).c_str(),
               r.bounded ? "" : " (the service's clock at the start, less a margin)", r.toTime);
    return report.finish();
}

aztable::CommandRun defineBackupTable(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.description(kDescription);
    command.add_option("--table", o->table, "the table to back up")->required()->check(aztable::tableNameCheck());
    command.add_option("--out", o->out, "the backup folder (created when missing)")->required()->option_text("DIR");
    command.add_option("--since", o->since,
                       "incremental: only entities changed after TIME; give the value the previous\n"
                       "backup printed as the next --since")
        ->option_text("TIME");
    command.add_option("--until", o->until,
                       "only entities changed up to TIME (default: no limit; every entity that exists\n"
                       "when the scan passes it is backed up)")
        ->option_text("TIME");
    command.add_option("--chunk-size", o->chunkSize, "start a new chunk file once one reaches this size (default 16 MiB)")
        ->option_text("BYTES")
        ->check(CLI::Range(uint64_t(1), uint64_t(1) << 40));
    aztable::addConnectionOptions(command, o->connection);
    aztable::addJsonOption(command, o->json);
    return [o] { return backupTable(*o); };
}

}  // namespace

AZTABLE_COMMAND("backup-table", "back up one table into a folder (resumable)", defineBackupTable);
