// aztable restore: a subclient's tables to a point in time, through the restore plug-in; aztable
// verify: one backup job read back against its checksums. The work is the agent's
// (SubclientRestoreJob, verifyJob): this file parses, runs one operation, shows progress and
// prints what it did.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Explain.h"
#include "Home.h"
#include "Interrupt.h"
#include "ProgressTicker.h"
#include "Report.h"
#include "agent/SubclientRestoreJob.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

namespace aztable {
namespace {

using platform::Status;
using AzureTableIDA::SubclientRestoreResult;

std::string timeText(long long seconds) {
    return seconds > 0 ? platform::text::isoTimestamp(seconds * 1000) : std::string("now");
}

std::string jobsText(const std::vector<long long>& jobs) {
    std::string text;
    for (long long job : jobs) text += (text.empty() ? "" : ", ") + std::to_string(job);
    return text;
}

// --- aztable restore

struct RestoreOptions {
    HomeOptions home;
    std::string subclient;
    std::string instance = "default";
    std::string backupSet;
    std::string toTime;
    std::vector<std::string> tables;
    bool overwrite = false, useExisting = false;
    std::string destinationInstance;
    bool json = false;
};

void sayPlan(const SubclientRestoreResult& plan) {
    std::fprintf(stderr, "restore: subclient %s to %s: jobs %s\n", plan.subclient.c_str(), timeText(plan.toTime).c_str(),
                 jobsText(plan.chain).c_str());
    for (const auto& warning : plan.warnings) std::fprintf(stderr, "aztable restore: warning: %s\n", warning.c_str());
    for (const auto& t : plan.tables) {
        const std::string destination = t.destinationAccount + "/" + t.destinationTable;
        const char* what = t.destination == "created"     ? "does not exist: creating it"
                           : t.destination == "recreated" ? "exists: dropping it and re-creating it empty (--overwrite)"
                                                          : "exists: writing into it as it is";
        std::fprintf(stderr, "  %s/%s -> %s (%s; jobs %s, %llu entities)\n", t.sourceAccount.c_str(),
                     t.sourceTable.c_str(), destination.c_str(), what, jobsText(t.jobs).c_str(), t.entities);
    }
}

std::string progressLine(const AzureTableIDA::SubclientRestoreProgress& p) {
    using Phase = AzureTableIDA::SubclientRestorePhase;
    char text[200];
    switch (p.phase) {
        case Phase::Verifying:
            return "restore: verifying the backups: " + humanBytes(static_cast<double>(p.verifiedBytes)) + " of " +
                   humanBytes(static_cast<double>(p.totalBytes));
        case Phase::Preparing: return "restore: preparing the destination tables";
        case Phase::Writing:
            std::snprintf(text, sizeof text, "restore: %llu/%llu entities written (%.0f%%)", p.entitiesWritten,
                          p.totalEntities, p.totalEntities ? 100.0 * p.entitiesWritten / p.totalEntities : 100.0);
            return text;
        default: return "";
    }
}

void describe(Report& report, const SubclientRestoreResult& r) {
    auto& a = report.allocator();
    report.set("restoreJob", r.restoreJobId).set("subclient", r.subclient).set("toTime", r.toTime);
    rapidjson::Value chain(rapidjson::kArrayType);
    for (long long job : r.chain) chain.PushBack(static_cast<int64_t>(job), a);
    report.set("chain", std::move(chain));
    rapidjson::Value tables(rapidjson::kArrayType);
    for (const auto& t : r.tables) {
        rapidjson::Value item(rapidjson::kObjectType);
        item.AddMember("source", report.string(t.sourceAccount + "/" + t.sourceTable), a);
        item.AddMember("destination", report.string(t.destinationAccount + "/" + t.destinationTable), a);
        item.AddMember("action", report.string(t.destination.empty() ? "undecided" : t.destination), a);
        rapidjson::Value jobs(rapidjson::kArrayType);
        for (long long job : t.jobs) jobs.PushBack(static_cast<int64_t>(job), a);
        item.AddMember("jobs", jobs, a);
        item.AddMember("entities", static_cast<uint64_t>(t.entities), a);
        item.AddMember("entitiesWritten", static_cast<uint64_t>(t.entitiesWritten), a);
        if (t.deletionsTracked) {
            item.AddMember("keys", static_cast<uint64_t>(t.keys), a);
            item.AddMember("entitiesLeftOut", static_cast<uint64_t>(t.entitiesLeftOut), a);
            item.AddMember("entitiesDeleted", static_cast<uint64_t>(t.entitiesDeleted), a);
        }
        item.AddMember("bytes", static_cast<uint64_t>(t.bytes), a);
        item.AddMember("seconds", t.seconds, a);
        item.AddMember("status", report.string(t.status), a);
        if (!t.failure.empty()) item.AddMember("failure", report.string(t.failure), a);
        tables.PushBack(item, a);
    }
    report.set("tables", std::move(tables));
    report.set("warnings", r.warnings);
    report.set("entities", r.entities).set("entitiesWritten", r.entitiesWritten).set("bytes", r.bytes);
    report.set("serviceChanged", r.serviceChanged).set("seconds", r.seconds);
}

int runRestore(const RestoreOptions& o) {
    Report report("restore", o.json);
    auto usageError = [&](const std::string& message) { return report.fail(Status(Status::Code::BadUsage, message)); };
    if (o.overwrite && o.useExisting) return usageError("--overwrite and --use-existing exclude each other");
    AzureTableIDA::SubclientRestoreOptions options;
    options.instance = o.instance;
    options.backupSet = o.backupSet;
    options.subclient = o.subclient;
    options.overwrite = o.overwrite;
    options.useExisting = o.useExisting;
    options.destinationInstance = o.destinationInstance;
    std::string why;
    if (!o.toTime.empty() && !AzureTableIDA::parseRestoreTime(o.toTime, options.toTime, why))
        return usageError("--to-time: " + why);
    for (const auto& text : o.tables) {
        AzureTableIDA::RestoreTableMapping mapping;
        if (!AzureTableIDA::parseRestoreTableMapping(text, mapping, why)) return usageError("--table: " + why);
        if (!mapping.destinationTable.empty()) {
            std::string bad = tableNameProblem(mapping.destinationTable);
            if (!bad.empty()) return usageError("--table " + text + ": " + bad);
        }
        options.tables.push_back(mapping);
    }
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    options.onPlanned = sayPlan;

    AzureTableIDA::SubclientRestoreJob job(platform::defaultRuntime(), options);
    SubclientRestoreResult r;
    {
        InterruptGuard interrupt("\naztable: stopping the restore (again to quit at once)\n", nullptr);
        ProgressTicker ticker([&job] { return progressLine(job.progress()); });
        status = job.run(r);
    }
    describe(report, r);
    if (!status.ok() && !r.serviceChanged) return report.fail(status, {"Nothing was changed in the service."});
    std::vector<std::string> more;
    for (const auto& t : r.tables) {
        char deletions[200] = "";
        if (t.deletionsTracked)
            std::snprintf(deletions, sizeof deletions, ", %llu left out as deleted at the newest job, %llu deleted",
                          t.entitiesLeftOut, t.entitiesDeleted);
        char line[800];
        std::snprintf(line, sizeof line, "  %s/%s -> %s/%s: %s, %llu of %llu entities written%s%s%s",
                      t.sourceAccount.c_str(), t.sourceTable.c_str(), t.destinationAccount.c_str(),
                      t.destinationTable.c_str(), t.status.c_str(), t.entitiesWritten, t.entities, deletions,
                      t.failure.empty() ? "" : ": ", t.failure.c_str());
        if (!status.ok()) more.push_back(line);
        else report.say("%s (jobs %s, %.1f s)\n", line, jobsText(t.jobs).c_str(), t.seconds);
    }
    if (!status.ok()) {
        more.push_back("  Running the same restore again is safe: writing an entity twice does no harm.");
        return report.fail(Status(status.code, "restore job " + std::to_string(r.restoreJobId) + ": " + status.message),
                           more);
    }
    report.say("restore job %lld: subclient %s restored to %s from jobs %s: %llu entities into %zu table(s) in %.1f s\n",
               r.restoreJobId, r.subclient.c_str(), timeText(r.toTime).c_str(), jobsText(r.chain).c_str(),
               r.entitiesWritten, r.tables.size(), r.seconds);
    return report.finish(0);
}

CommandRun defineRestore(CLI::App& command) {
    auto o = std::make_shared<RestoreOptions>();
    command.description(
        "Restores the tables of SUBCLIENT as they were at TIME (default: now) from its backup jobs: the newest\n"
        "full job at or before TIME and every incremental job after it. A point-in-time restore is job-granular:\n"
        "it restores the state of the newest job at or before TIME. Every backup it needs is verified before\n"
        "anything in the service changes. Exit status: 0 every entity written, 1 failed, 2 bad usage, 3 stopped.");
    command.add_option("subclient", o->subclient, "the subclient (see `aztable subclient list`)")->required();
    command.add_option("--to-time", o->toTime,
                       "seconds since 1970, ISO 8601 (2026-12-06T10:00:00Z) or 'Sun Dec 06 2026 10:00:00' (local)")
        ->option_text("TIME");
    command.add_option("--table", o->tables, "restore only A/T, into A2/T2 when given (repeatable; default: all)")
        ->option_text("A/T[=A2/T2]");
    command.add_flag("--overwrite", o->overwrite, "drop and re-create destination tables that exist");
    command.add_flag("--use-existing", o->useExisting,
                     "restore into existing tables as they are, never create one (also allows a chain without a full job)");
    command.add_option("--dest-instance", o->destinationInstance, "the instance whose accounts receive the tables")
        ->option_text("I");
    command.add_option("--backup-set", o->backupSet, "the subclient's backup set (default: the default set)")
        ->option_text("S");
    command.add_option("--instance", o->instance, "the subclient's instance (default: default)")->option_text("I");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runRestore(*o); };
}

// --- aztable verify

struct VerifyOptions {
    HomeOptions home;
    long long job = 0;
    std::string table;
    bool json = false;
};

int runVerify(const VerifyOptions& o) {
    Report report("verify", o.json);
    std::string account, table;
    if (!o.table.empty()) {
        const size_t slash = o.table.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 >= o.table.size())
            return report.fail(Status(Status::Code::BadUsage, "--table: '" + o.table + "' is not ACCOUNT/TABLE"));
        account = o.table.substr(0, slash);
        table = o.table.substr(slash + 1);
    }
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    AzureTableIDA::JobVerifyResult r;
    std::atomic<unsigned long long> bytes{0};
    {
        ProgressTicker ticker([&bytes] { return "verify: " + humanBytes(static_cast<double>(bytes.load())) + " read"; });
        status = AzureTableIDA::verifyJob(platform::defaultRuntime(), o.job, account, table, r, &bytes);
    }
    auto& a = report.allocator();
    report.set("job", r.jobId).set("subclient", r.subclient).set("bytes", r.bytes).set("seconds", r.seconds);
    rapidjson::Value tables(rapidjson::kArrayType);
    std::vector<std::string> more;
    for (const auto& t : r.tables) {
        rapidjson::Value item(rapidjson::kObjectType);
        item.AddMember("account", report.string(t.account), a);
        item.AddMember("table", report.string(t.table), a);
        item.AddMember("folder", report.string(t.folder), a);
        item.AddMember("status", report.string(t.status), a);
        item.AddMember("chunks", static_cast<uint64_t>(t.chunks), a);
        item.AddMember("entities", static_cast<uint64_t>(t.entities), a);
        item.AddMember("bytes", static_cast<uint64_t>(t.bytes), a);
        if (t.keys >= 0) item.AddMember("keys", static_cast<int64_t>(t.keys), a);
        if (!t.object.empty()) item.AddMember("object", report.string(t.object), a);
        if (t.offset >= 0) item.AddMember("offset", static_cast<int64_t>(t.offset), a);
        if (!t.problem.empty()) item.AddMember("problem", report.string(t.problem), a);
        tables.PushBack(item, a);
        std::string line = "  " + t.account + "/" + t.table + ": " + t.status;
        if (!t.object.empty()) line += " at " + t.object + (t.offset >= 0 ? " byte " + std::to_string(t.offset) : "");
        if (!t.problem.empty()) line += ": " + t.problem;
        if (t.status == "ok")
            report.say("%s (%llu chunks, %llu entities, %s)\n", line.c_str(), t.chunks, t.entities,
                       humanBytes(static_cast<double>(t.bytes)).c_str());
        else
            more.push_back(line);
    }
    report.set("tables", std::move(tables));
    if (!status.ok()) return report.fail(status, more);
    report.say("job %lld: %zu table(s) verified, %s read in %.1f s\n", r.jobId, r.tables.size(),
               humanBytes(static_cast<double>(r.bytes)).c_str(), r.seconds);
    return report.finish(0);
}

CommandRun defineVerify(CLI::App& command) {
    auto o = std::make_shared<VerifyOptions>();
    command.description(
        "Reads every object of backup job JOB (or of one table of it) back: each manifest against its own\n"
        "checksum, every chunk's length, line count and CRC-32C, and every line as one JSON entity with\n"
        "PartitionKey and RowKey. Damage is named by object and byte offset. Exit status: 0 all sound, 1 not.");
    command.add_option("job", o->job, "the backup job")->required()->check(CLI::PositiveNumber);
    command.add_option("--table", o->table, "only table T of account A")->option_text("A/T");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runVerify(*o); };
}

}  // namespace

AZTABLE_COMMAND("restore", "restore a subclient's tables to a point in time from its backup jobs", defineRestore);
AZTABLE_COMMAND("verify", "read a backup job back against its checksums", defineVerify);

}  // namespace aztable
