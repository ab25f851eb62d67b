// aztable restore-table: restores a table from a full backup and the incremental backups that
// follow it, in order, into a destination table. The work is AzureTableRestoreJob's: this file
// defines the options, runs the job, shows its progress and prints what it did.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Connection.h"
#include "Explain.h"
#include "Interrupt.h"
#include "ProgressTicker.h"
#include "Report.h"
#include "restore/AzureTableRestoreJob.h"

namespace aztable {
namespace {

using platform::Status;

const char* const kDescription =
    "Restores the backup in the first DIR (a full backup; with --use-existing it may also be an\n"
    "incremental one) and then every further DIR, incremental backups in the order they were taken,\n"
    "into table DEST. Each DIR is one table's backup folder as backup-table wrote it. The chain and\n"
    "every byte of it are checked before anything in the service is changed.";

struct Options {
    ConnectionOptions connection;
    std::vector<std::string> folders;
    std::string table;
    bool overwrite = false;
    bool useExisting = false;
    bool json = false;
};

const char* destinationName(AzureTableRestoreDestination d) {
    switch (d) {
        case AzureTableRestoreDestination::Created: return "created";
        case AzureTableRestoreDestination::Recreated: return "recreated";
        case AzureTableRestoreDestination::WrittenAsIs: return "written-as-is";
        case AzureTableRestoreDestination::Undecided: break;
    }
    return "undecided";
}

// What happens to the destination, said before anything is written to it.
void sayPlan(const AzureTableRestoreJobResult& plan) {
    for (const auto& warning : plan.warnings)
        std::fprintf(stderr, "aztable restore-table: warning: %s\n", warning.c_str());
    const char* table = plan.table.c_str();
    const char* account = plan.account.c_str();
    switch (plan.destination) {
        case AzureTableRestoreDestination::Created:
            std::fprintf(stderr, "restore-table: table %s does not exist in account %s: creating it\n", table, account);
            break;
        case AzureTableRestoreDestination::Recreated:
            std::fprintf(stderr,
                         "restore-table: table %s exists in account %s: dropping it and re-creating it empty "
                         "(--overwrite)\n",
                         table, account);
            break;
        case AzureTableRestoreDestination::WrittenAsIs:
            std::fprintf(stderr,
                         "restore-table: table %s exists in account %s: writing into it as it is (entities with the "
                         "keys of backed-up ones are replaced, all others stay)\n",
                         table, account);
            break;
        case AzureTableRestoreDestination::Undecided: break;
    }
}

std::string progressLine(const AzureTableRestoreProgress& p) {
    char text[160];
    if (p.phase == AzureTableRestorePhase::Checking) return "";
    if (p.phase == AzureTableRestorePhase::Verifying)
        return "restore-table: verifying the backups: " + humanBytes(static_cast<double>(p.verifiedBytes)) + " of " +
               humanBytes(static_cast<double>(p.totalBytes));
    std::snprintf(text, sizeof text, "restore-table: %llu/%llu lines (%.0f%%), %.0f lines/s", p.entitiesRead,
                  p.totalEntities, p.totalEntities ? 100.0 * p.entitiesRead / p.totalEntities : 100.0,
                  p.seconds > 0 ? p.entitiesRead / p.seconds : 0.0);
    return text;
}

void describe(Report& report, const AzureTableRestoreJobResult& r) {
    report.set("table", r.table).set("account", r.account);
    report.set("sourceTable", r.sourceTable).set("sourceAccount", r.sourceAccount);
    report.set("destination", destinationName(r.destination));
    rapidjson::Value backups(rapidjson::kArrayType);
    for (const auto& b : r.backups) {
        rapidjson::Value item(rapidjson::kObjectType);
        item.AddMember("folder", report.string(b.folder), report.allocator());
        item.AddMember("kind", rapidjson::StringRef(b.incremental ? "incremental" : "full"), report.allocator());
        item.AddMember("fromTime", static_cast<int64_t>(b.fromTime), report.allocator());
        item.AddMember("toTime", static_cast<int64_t>(b.toTime), report.allocator());
        item.AddMember("entities", static_cast<uint64_t>(b.entities), report.allocator());
        item.AddMember("bytes", static_cast<uint64_t>(b.bytes), report.allocator());
        item.AddMember("checksums", b.checksums, report.allocator());
        item.AddMember("overlapsPrevious", b.overlapsPrevious, report.allocator());
        backups.PushBack(item, report.allocator());
    }
    report.set("backups", std::move(backups));
    report.set("warnings", r.warnings);
    report.set("entities", r.totalEntities).set("entitiesWritten", r.entitiesWritten).set("bytes", r.totalBytes);
    report.set("serviceChanged", r.writingBegan).set("seconds", r.seconds);
}

int restoreTable(const Options& o) {
    Report report("restore-table", o.json);
    if (o.overwrite && o.useExisting)
        return report.fail(Status(Status::Code::BadUsage, "--overwrite and --use-existing exclude each other"));
    AzureTableCredentials credentials;
    std::string error;
    if (!connect(o.connection, credentials, error)) return report.fail(Status(Status::Code::BadUsage, error));

    AzureTableRestoreJobOptions options;
    options.folders = o.folders;
    options.table = o.table;
    options.overwrite = o.overwrite;
    options.useExisting = o.useExisting;
    options.onPlanned = sayPlan;
    AzureTableRestoreJob job(credentials, options);
    AzureTableRestoreJobResult r;
    Status status;
    {
        InterruptGuard interrupt("\naztable: stopping the restore (again to quit at once)\n", nullptr);
        ProgressTicker ticker([&job] { return progressLine(job.progress()); });
        status = job.run(r);
    }
    describe(report, r);
    const char* table = r.table.c_str();
    const char* account = r.account.c_str();
    if (!status.ok() && !r.writingBegan) {
        if (!r.serviceError.empty())
            status.message = "cannot look at the destination: " + explainServiceFailure(r.serviceError, r.table, r.account);
        return report.fail(status, {"Nothing was changed in the service."});
    }
    char line[512];
    if (status.code == Status::Code::Stopped) {
        std::snprintf(line, sizeof line,
                      "stopped on request after writing %llu of %llu entities into table %s of account %s; the table "
                      "is incomplete. Running the same command again is safe: writing an entity twice does no harm.",
                      r.entitiesWritten, r.totalEntities, table, account);
        return report.fail(Status(status.code, line));
    }
    if (!status.ok()) {
        std::vector<std::string> more;
        if (r.entitiesWritten > 0) {
            std::snprintf(line, sizeof line,
                          "  %llu of %llu entities were written into table %s of account %s before the failure; the "
                          "table is incomplete. Running the same command again is safe.",
                          r.entitiesWritten, r.totalEntities, table, account);
            more.push_back(line);
        }
        return report.fail(Status(status.code, "restore of " + r.table + " failed: " + status.message), more);
    }
    const size_t n = r.backups.size();
    std::fprintf(stderr, "restore-table: restored %llu entities from %zu backup%s into %s in %.1f s (%.0f entities/s)\n",
                 r.entitiesWritten, n, n == 1 ? "" : "s", table, r.seconds,
                 r.seconds > 0 ? r.entitiesWritten / r.seconds : 0.0);
    for (const auto& b : r.backups)
        if (!b.checksums)
            std::fprintf(stderr,
                         "  note: %s was written by an older version without checksums over its manifest, "
                         "description and metadata; those files were checked for sense only\n",
                         b.folder.c_str());
    return report.finish();
}

CommandRun defineRestoreTable(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.description(kDescription);
    command.add_option("--from", o->folders, "a backup folder; repeat for the incremental backups, oldest first")
        ->required()
        ->allow_extra_args(false)
        ->option_text("DIR");
    command.add_option("--table", o->table, "the destination table; created when missing")
        ->required()
        ->check(tableNameCheck())
        ->option_text("DEST");
    command.add_flag("--overwrite", o->overwrite, "drop and re-create DEST when it exists (default: restore into it as it is)");
    command.add_flag("--use-existing", o->useExisting, "restore into DEST as it is and never create it (DEST must exist)");
    addConnectionOptions(command, o->connection);
    addJsonOption(command, o->json);
    return [o] { return restoreTable(*o); };
}

}  // namespace

AZTABLE_COMMAND("restore-table", "restore a table from a full backup and following incremental backups",
                defineRestoreTable);

}  // namespace aztable
