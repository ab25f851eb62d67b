// aztable restore-table: restores a table from a full backup and the incremental backups that
// follow it, in order, into a destination table.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
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
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/store/RestoreEnvironment.h"
#include "restore/AzureTableRestore.h"
#include "table_service/AzureTableStorage.h"

namespace aztable {
namespace {

const char* const kUsage =
    "usage: aztable restore-table --from DIR [--from DIR ...] --table DEST [--overwrite] [--use-existing]\n"
    "\n"
    "Restores the backup in the first DIR (a full backup; with --use-existing it may also be an\n"
    "incremental one) and then every further DIR, incremental backups in the order they were taken,\n"
    "into table DEST. Each DIR is one table's backup folder as backup-table wrote it.\n"
    "\n"
    "  --from DIR      a backup folder; repeat for the incremental backups, oldest first\n"
    "  --table DEST    the destination table; created when missing\n"
    "  --overwrite     drop and re-create DEST when it exists (default: restore into it as it is)\n"
    "  --use-existing  restore into DEST as it is and never create it (DEST must exist)\n";

struct Options {
    std::vector<std::string> folders;
    std::string table;
    bool overwrite = false;
    bool useExisting = false;
};

int usageError(const std::string& message) {
    std::fprintf(stderr, "aztable restore-table: %s\n\n%s%s", message.c_str(), kUsage, kConnectionOptionsHelp);
    return 2;
}

std::string timeText(long long seconds) {
    if (seconds == 0) return "the beginning";
    return AzureTableStorage::toAzureFormatTime(seconds);
}

// Refuses a chain that cannot be a restore of one table: every backup complete, one source
// table, a full backup first (an incremental one only with --use-existing), incremental backups
// after it, and no time left uncovered between one backup and the next.
bool checkChain(const Options& options, const std::vector<std::unique_ptr<platform::store::RestoreEnvironment>>& envs) {
    const auto& first = envs.front()->manifest();
    for (size_t i = 0; i < envs.size(); ++i) {
        const auto& m = envs[i]->manifest();
        const std::string& folder = options.folders[i];
        if (!m.complete) {
            std::fprintf(stderr,
                         "aztable restore-table: the backup in %s did not finish; resume it with backup-table or "
                         "leave it out\n",
                         folder.c_str());
            return false;
        }
        if (m.account != first.account || m.table != first.table) {
            std::fprintf(stderr,
                         "aztable restore-table: %s holds a backup of %s/%s, but %s holds one of %s/%s; all backups "
                         "must be of the same table\n",
                         folder.c_str(), m.account.c_str(), m.table.c_str(), options.folders[0].c_str(),
                         first.account.c_str(), first.table.c_str());
            return false;
        }
        if (i == 0) {
            if (m.incremental && !options.useExisting) {
                std::fprintf(stderr,
                             "aztable restore-table: %s holds an incremental backup; the first --from must be a full "
                             "backup (or add --use-existing to apply it to an existing table)\n",
                             folder.c_str());
                return false;
            }
            continue;
        }
        if (!m.incremental) {
            std::fprintf(stderr,
                         "aztable restore-table: %s holds a full backup; only the first --from may be a full backup\n",
                         folder.c_str());
            return false;
        }
        const auto& previous = envs[i - 1]->manifest();
        if (m.fromTime > previous.toTime) {
            std::fprintf(stderr,
                         "aztable restore-table: gap between backups: %s ends at %s but %s starts after %s; the "
                         "changes in between are in no backup given\n",
                         options.folders[i - 1].c_str(), timeText(previous.toTime).c_str(), folder.c_str(),
                         timeText(m.fromTime).c_str());
            return false;
        }
        if (m.fromTime < previous.toTime)
            std::fprintf(stderr,
                         "aztable restore-table: warning: %s starts at %s, before %s ends (%s); the overlap is "
                         "replayed twice, later versions win\n",
                         folder.c_str(), timeText(m.fromTime).c_str(), options.folders[i - 1].c_str(),
                         timeText(previous.toTime).c_str());
    }
    return true;
}

// Reads every byte of every backup in the chain and checks it against its checksums, before
// anything is dropped, created or written. Progress shows on a terminal.
bool verifyChain(const Options& options, const std::vector<std::unique_ptr<platform::store::RestoreEnvironment>>& envs) {
    unsigned long long totalBytes = 0;
    for (const auto& env : envs) totalBytes += env->manifest().totalBytes();
    std::atomic<size_t> current{0};
    ProgressTicker ticker([&]() -> std::string {
        unsigned long long done = 0;
        for (size_t i = 0; i <= current.load() && i < envs.size(); ++i) done += envs[i]->verifiedBytes();
        return "restore-table: verifying the backups: " + humanBytes(static_cast<double>(done)) + " of " +
               humanBytes(static_cast<double>(totalBytes));
    });
    for (size_t i = 0; i < envs.size(); ++i) {
        current.store(i);
        std::string error;
        if (!envs[i]->verify(error)) {
            ticker.stop();
            std::fprintf(stderr, "aztable restore-table: the backup in %s is damaged: %s\nNothing was changed in the "
                                 "service.\n",
                         options.folders[i].c_str(), error.c_str());
            return false;
        }
    }
    return true;
}

// The job's own environment: debug log as usual, and the first failure kept for the user.
class JobEnvironment : public IdaLoggingEnvironment {
public:
    JobEnvironment() : IdaLoggingEnvironment("restore-table") {}
};

// Counts what the restore has read so far; its line shows on a terminal once a second.
class Progress {
public:
    Progress(const std::vector<std::unique_ptr<platform::store::RestoreEnvironment>>& envs, unsigned long long total)
        : m_envs(envs), m_total(total), m_start(std::chrono::steady_clock::now()),
          m_ticker([this] { return line(); }) {}
    void stop() { m_ticker.stop(); }
    unsigned long long lines() const {
        unsigned long long n = 0;
        for (const auto& env : m_envs) n += env->linesDelivered();
        return n;
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::string line() const {
        unsigned long long n = lines();
        double s = seconds();
        char text[160];
        std::snprintf(text, sizeof text, "restore-table: %llu/%llu lines (%.0f%%), %.0f lines/s", n, m_total,
                      m_total ? 100.0 * n / m_total : 100.0, s > 0 ? n / s : 0.0);
        return text;
    }

    const std::vector<std::unique_ptr<platform::store::RestoreEnvironment>>& m_envs;
    unsigned long long m_total;
    std::chrono::steady_clock::time_point m_start;
    ProgressTicker m_ticker;  // last: it reads the members above
};

int restoreTable(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    ConnectionOptions connection;
    std::string error;
    if (!takeConnectionOptions(args, connection, error)) return usageError(error);
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            out = args[++i];
            return true;
        };
        std::string folder;
        if (arg == "-h" || arg == "--help") {
            std::printf("%s%s", kUsage, kConnectionOptionsHelp);
            return 0;
        } else if (arg == "--from") {
            if (!value(folder)) return usageError("--from needs a folder");
            options.folders.push_back(folder);
        } else if (arg == "--table") {
            if (!value(options.table)) return usageError("--table needs a table name");
        } else if (arg == "--overwrite") {
            options.overwrite = true;
        } else if (arg == "--use-existing") {
            options.useExisting = true;
        } else {
            return usageError("unknown option '" + arg + "'");
        }
    }
    if (options.folders.empty()) return usageError("give at least one backup folder with --from");
    if (options.table.empty()) return usageError("give the destination table with --table");
    if (options.overwrite && options.useExisting)
        return usageError("--overwrite and --use-existing exclude each other");

    if (!tableNameProblem(options.table).empty()) return usageError(tableNameProblem(options.table));
    const auto started = std::chrono::steady_clock::now();

    // Everything is checked before the service is touched: the chain, then every byte of every
    // backup in it. A damaged chain changes nothing in the service.
    std::vector<std::unique_ptr<platform::store::RestoreEnvironment>> envs;
    for (const auto& folder : options.folders) {
        envs.push_back(std::make_unique<platform::store::RestoreEnvironment>(folder));
        if (!envs.back()->open(error)) {
            std::fprintf(stderr, "aztable restore-table: %s\nNothing was changed in the service.\n", error.c_str());
            return 1;
        }
    }
    if (!checkChain(options, envs)) return 1;
    if (!verifyChain(options, envs)) return 1;

    AzureTableCredentials credentials;
    if (!connect(connection, credentials, error)) {
        std::fprintf(stderr, "aztable restore-table: %s\n", error.c_str());
        return 2;
    }
    const std::string& account = credentials.accountName;

    // Say what happens to the destination before anything is written to it.
    JobEnvironment job;
    {
        AzureTableStorage client(credentials, job);
        auto described = client.describeTable(options.table);
        const bool exists = described.errorKind == Success && described.result;
        if (!exists && described.errorKind != ResourceNotFound) {
            std::fprintf(stderr, "aztable restore-table: cannot look at the destination: %s\nNothing was changed.\n",
                         explainServiceFailure(described.errorMessage, options.table, account).c_str());
            return 1;
        }
        if (!exists && options.useExisting) {
            // Nothing is created with --use-existing; writing into a missing table could only
            // fail slowly, batch by batch.
            std::fprintf(stderr,
                         "aztable restore-table: table %s does not exist in account %s (--use-existing never creates "
                         "it)\n",
                         options.table.c_str(), account.c_str());
            return 1;
        }
        if (!exists)
            std::fprintf(stderr, "restore-table: table %s does not exist in account %s: creating it\n",
                         options.table.c_str(), account.c_str());
        else if (options.overwrite)
            std::fprintf(stderr,
                         "restore-table: table %s exists in account %s: dropping it and re-creating it empty "
                         "(--overwrite)\n",
                         options.table.c_str(), account.c_str());
        else
            std::fprintf(stderr,
                         "restore-table: table %s exists in account %s: writing into it as it is (entities with the "
                         "keys of backed-up ones are replaced, all others stay)\n",
                         options.table.c_str(), account.c_str());
    }

    unsigned long long total = 0;
    for (const auto& env : envs) total += env->manifest().totalLines();
    IdaEnvironment* full = envs.front()->manifest().incremental ? nullptr : envs.front().get();
    std::list<IdaEnvironment*> incrementals;
    for (const auto& env : envs)
        if (env.get() != full) incrementals.push_back(env.get());

    auto runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
    bool ok;
    {
        InterruptGuard interrupt("\naztable: stopping the restore (again to quit at once)\n", nullptr);
        Progress progress(envs, total);
        ok = runner->execute(options.overwrite, options.table, full, incrementals, options.useExisting);
        progress.stop();
    }
    unsigned long long written = 0;
    for (const auto& env : envs) written += env->entitiesWritten();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (!ok) {
        if (InterruptGuard::stopRequested()) {
            std::fprintf(stderr,
                         "aztable restore-table: stopped on request after writing %llu of %llu entities into table "
                         "%s of account %s; the table is incomplete. Running the same command again is safe: "
                         "writing an entity twice does no harm.\n",
                         written, total, options.table.c_str(), account.c_str());
            return 3;
        }
        std::string reason = job.failureMessage();
        for (const auto& env : envs)
            if (reason.empty()) reason = env->failureMessage();
        std::fprintf(stderr, "aztable restore-table: restore of %s failed: %s\n", options.table.c_str(),
                     reason.empty() ? "see the debug log" : reason.c_str());
        if (written > 0)
            std::fprintf(stderr,
                         "  %llu of %llu entities were written into table %s of account %s before the failure; the "
                         "table is incomplete. Running the same command again is safe.\n",
                         written, total, options.table.c_str(), account.c_str());
        return 1;
    }
    std::fprintf(stderr, "restore-table: restored %llu entities from %zu backup%s into %s in %.1f s (%.0f entities/s)\n",
                 written, envs.size(), envs.size() == 1 ? "" : "s", options.table.c_str(), seconds,
                 seconds > 0 ? written / seconds : 0.0);
    for (size_t i = 0; i < envs.size(); ++i)
        if (!envs[i]->manifest().hasChecksums())
            std::fprintf(stderr,
                         "  note: %s was written by an older version without checksums over its manifest, "
                         "description and metadata; those files were checked for sense only\n",
                         options.folders[i].c_str());
    return 0;
}

}  // namespace

AZTABLE_COMMAND("restore-table", "restore a table from a full backup and following incremental backups",
                restoreTable);

}  // namespace aztable
