// Backup jobs of subclients: aztable backup, jobs, job show.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Explain.h"
#include "Home.h"
#include "Interrupt.h"
#include "ProgressTicker.h"
#include "Report.h"
#include "agent/SubclientBackupJob.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

namespace aztable {
namespace {

using platform::Status;
using AzureTableIDA::JobSummary;

const char* kindOf(int level) { return level == 2 ? "incremental" : level == 3 ? "restore" : "full"; }

std::string timeText(long long seconds) {
    return seconds > 0 ? platform::text::isoTimestamp(seconds * 1000) : std::string("-");
}

rapidjson::Value tableJson(Report& report, const platform::catalog::JobTableRecord& t) {
    auto& a = report.allocator();
    rapidjson::Value item(rapidjson::kObjectType);
    item.AddMember("account", report.string(t.account), a);
    item.AddMember("table", report.string(t.table), a);
    item.AddMember("status", report.string(t.status.empty() ? "pending" : t.status), a);
    item.AddMember("entities", static_cast<uint64_t>(t.entities), a);
    item.AddMember("bytes", static_cast<uint64_t>(t.bytes), a);
    item.AddMember("pages", static_cast<uint64_t>(t.pages), a);
    item.AddMember("startTime", static_cast<int64_t>(t.startTime), a);
    item.AddMember("endTime", static_cast<int64_t>(t.endTime), a);
    if (!t.failure.empty()) item.AddMember("failure", report.string(t.failure), a);
    return item;
}

void sayTable(Report& report, const platform::catalog::JobTableRecord& t) {
    report.say("  %-40s %-10s %10llu entities %10s  %s .. %s%s%s\n", (t.account + "/" + t.table).c_str(),
               t.status.empty() ? "pending" : t.status.c_str(), t.entities, humanBytes(static_cast<double>(t.bytes)).c_str(),
               timeText(t.startTime).c_str(), timeText(t.endTime).c_str(), t.failure.empty() ? "" : "\n      ",
               t.failure.c_str());
}

rapidjson::Value jobJson(Report& report, const JobSummary& j, bool withTables) {
    auto& a = report.allocator();
    rapidjson::Value item(rapidjson::kObjectType);
    unsigned long long entities = 0, bytes = 0;
    size_t completed = 0, failed = 0;
    for (const auto& t : j.tables) {
        entities += t.entities;
        bytes += t.bytes;
        completed += t.status == "completed";
        failed += t.status == "failed";
    }
    item.AddMember("id", static_cast<int64_t>(j.job.id), a);
    item.AddMember("subclient", report.string(j.subclient), a);
    item.AddMember("kind", report.string(kindOf(j.job.level)), a);
    item.AddMember("status", report.string(j.status), a);
    item.AddMember("startTime", static_cast<int64_t>(j.job.startTime), a);
    item.AddMember("endTime", static_cast<int64_t>(j.job.endTime), a);
    item.AddMember("referenceTime", static_cast<int64_t>(j.job.referenceTime), a);
    item.AddMember("tableCount", static_cast<uint64_t>(j.tables.size()), a);
    item.AddMember("completedTables", static_cast<uint64_t>(completed), a);
    item.AddMember("failedTables", static_cast<uint64_t>(failed), a);
    item.AddMember("entities", static_cast<uint64_t>(entities), a);
    item.AddMember("bytes", static_cast<uint64_t>(bytes), a);
    if (!j.job.failure.empty()) item.AddMember("failure", report.string(j.job.failure), a);
    if (withTables) {
        item.AddMember("restart", report.string(j.job.restart), a);
        rapidjson::Value tables(rapidjson::kArrayType);
        for (const auto& t : j.tables) tables.PushBack(tableJson(report, t), a);
        item.AddMember("tables", tables, a);
    }
    return item;
}

// --- aztable backup

struct BackupOptions {
    HomeOptions home;
    std::string subclient;
    std::string instance = "default";
    std::string backupSet;
    bool full = false, incremental = false;
    int parallel = 4;
    long long resume = 0;
    bool json = false;
};

void noStop() {}  // the runtime's stop token, which the guard sets, stops every table

int runBackup(const BackupOptions& o) {
    Report report("backup", o.json);
    auto usageError = [&](const std::string& message) { return report.fail(Status(Status::Code::BadUsage, message)); };
    if (o.full && o.incremental) return usageError("--full and --incremental exclude each other");
    if (o.resume > 0 && (o.full || o.incremental || !o.subclient.empty()))
        return usageError("--resume JOB continues that job as it was: give no subclient, --full or --incremental");
    if (o.resume <= 0 && o.subclient.empty()) return usageError("name the subclient to back up, or --resume JOB");
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    platform::Runtime& runtime = platform::defaultRuntime();

    AzureTableIDA::SubclientBackupOptions options;
    options.instance = o.instance;
    options.backupSet = o.backupSet;
    options.subclient = o.subclient;
    options.parallel = o.parallel;
    options.resumeJob = o.resume;
    options.level = o.full          ? AzureTableIDA::SubclientBackupOptions::Level::Full
                    : o.incremental ? AzureTableIDA::SubclientBackupOptions::Level::Incremental
                                    : AzureTableIDA::SubclientBackupOptions::Level::Auto;
    // Test hook: a line on stderr after every page a table stored, for a test to stop the job at.
    if (std::getenv("AZTABLE_TEST_PAGE_LINES"))
        options.onPage = [](const std::string& account, const std::string& table, uint64_t pages) {
            std::fprintf(stderr, "aztable: test page %s/%s %llu\n", account.c_str(), table.c_str(),
                         static_cast<unsigned long long>(pages));
            std::fflush(stderr);
        };

    AzureTableIDA::SubclientBackupJob job(runtime, options);
    AzureTableIDA::SubclientBackupResult r;
    {
        InterruptGuard interrupt("\naztable: stopping; every table's stored pages are kept (again to quit at once)\n",
                                 noStop);
        const auto begun = std::chrono::steady_clock::now();
        ProgressTicker progress([&job, begun]() -> std::string {
            const AzureTableIDA::SubclientBackupProgress p = job.progress();
            if (p.tablesTotal == 0) return "";
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
            char line[240];
            std::snprintf(line, sizeof line, "  job %lld: %zu of %zu tables, %llu entities, %s, %.0f entities/s",
                          job.jobId(), p.tablesDone, p.tablesTotal, p.entities,
                          humanBytes(static_cast<double>(p.bytes)).c_str(), seconds > 0 ? p.entities / seconds : 0.0);
            std::string text = line;
            if (p.keys > 0) text += ", " + std::to_string(p.keys) + " keys listed";
            return text;
        });
        status = job.run(r);
    }
    if (r.jobId == 0) return report.fail(status);

    auto& a = report.allocator();
    report.set("job", r.jobId).set("subclient", r.subclient).set("kind", r.incremental ? "incremental" : "full");
    report.set("resumed", r.resumed).set("status", r.status).set("referenceTime", r.referenceTime);
    report.set("fromTime", r.fromTime).set("referenceTimeStored", r.referenceTimeStored);
    report.set("entities", r.entities).set("bytes", r.bytes).set("seconds", r.seconds);
    rapidjson::Value tables(rapidjson::kArrayType);
    for (const auto& t : r.tables) {
        rapidjson::Value item = tableJson(report, t.record);
        if (!t.folder.empty()) item.AddMember("folder", report.string(t.folder), a);
        item.AddMember("skipped", t.skipped, a);
        if (t.keys >= 0) item.AddMember("keys", static_cast<int64_t>(t.keys), a);
        tables.PushBack(item, a);
    }
    report.set("tables", std::move(tables));
    rapidjson::Value listing(rapidjson::kArrayType);
    for (const auto& failure : r.listingFailures) {
        rapidjson::Value item(rapidjson::kObjectType);
        item.AddMember("account", report.string(failure.first), a);
        item.AddMember("error", report.string(failure.second), a);
        listing.PushBack(item, a);
    }
    report.set("listingFailures", std::move(listing));

    if (r.levelChanged) std::fprintf(stderr, "aztable backup: subclient %s has no finished backup yet: this one is full\n",
                                     r.subclient.c_str());
    report.say("job %lld (%s%s backup of subclient %s): %s\n", r.jobId, r.incremental ? "incremental" : "full",
               r.resumed ? ", resumed" : "", r.subclient.c_str(), r.status.c_str());
    for (const auto& t : r.tables) {
        sayTable(report, t.record);
        if (t.keys >= 0) report.say("      key set: %lld keys (what the table held after its scan)\n", t.keys);
    }
    report.say("  %llu entities, %s in %.1f s; holds every change up to %s\n", r.entities,
               humanBytes(static_cast<double>(r.bytes)).c_str(), r.seconds, timeText(r.referenceTime).c_str());
    if (status.ok()) return report.finish(0);
    std::vector<std::string> more;
    if (status.code == Status::Code::Stopped || r.status != "completed")
        more.push_back("  aztable backup --resume " + std::to_string(r.jobId) +
                       " goes on with the tables that did not finish");
    return report.fail(status, more);
}

CommandRun defineBackup(CLI::App& command) {
    auto o = std::make_shared<BackupOptions>();
    command.description(
        "Backs up every table of SUBCLIENT into <store>/<cell>/<subclient>/<job>/<account>/<table>/,\n"
        "up to N tables at once, accounts taken in turn. The first backup of a subclient is full; later\n"
        "ones are incremental from the last job that finished every table, unless --full.\n"
        "Exit status: 0 completed, 1 completed with errors or failed, 3 interrupted (see --resume).");
    command.add_option("subclient", o->subclient, "the subclient (see `aztable subclient list`)");
    command.add_flag("--full", o->full, "back up every entity, whatever came before");
    command.add_flag("--incremental", o->incremental, "only changes since the last finished job (full when none)");
    command.add_option("--parallel", o->parallel, "tables backed up at once (default 4)")
        ->option_text("N")
        ->check(CLI::Range(1, 64));
    command.add_option("--resume", o->resume, "continue interrupted or failed job JOB: finished tables are kept")
        ->option_text("JOB")
        ->check(CLI::PositiveNumber);
    command.add_option("--backup-set", o->backupSet, "the subclient's backup set (default: the default set)")
        ->option_text("S");
    command.add_option("--instance", o->instance, "the instance (default: default)")->option_text("I");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runBackup(*o); };
}

// --- aztable jobs, aztable job show

struct JobsOptions {
    HomeOptions home;
    std::vector<std::string> positional;
    std::string instance = "default";
    std::string backupSet;
    bool json = false;
};

int runJobs(const JobsOptions& o) {
    Report report("jobs", o.json);
    if (o.positional.size() > 1) return report.fail(Status(Status::Code::BadUsage, "jobs takes one subclient at most"));
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    std::vector<JobSummary> jobs;
    const std::string subclient = o.positional.empty() ? "" : o.positional[0];
    if (!(status = AzureTableIDA::listJobs(platform::defaultRuntime(), o.instance, o.backupSet, subclient, jobs)).ok())
        return report.fail(status);
    rapidjson::Value list(rapidjson::kArrayType);
    for (const auto& j : jobs) {
        rapidjson::Value item = jobJson(report, j, false);
        report.say("%6lld  %-16s %-11s %-22s %s  %3llu tables  %llu entities\n", j.job.id, j.subclient.c_str(),
                   kindOf(j.job.level), j.status.c_str(), timeText(j.job.startTime).c_str(),
                   static_cast<unsigned long long>(j.tables.size()),
                   static_cast<unsigned long long>(item["entities"].GetUint64()));
        list.PushBack(item, report.allocator());
    }
    if (jobs.empty()) report.say("no jobs yet\n");
    report.set("jobs", std::move(list));
    return report.finish(0);
}

CommandRun defineJobs(CLI::App& command) {
    auto o = std::make_shared<JobsOptions>();
    command.description("Lists the backup jobs of SUBCLIENT, or of every subclient, oldest first.");
    command.add_option("subclient", o->positional, "one subclient (default: all)");
    command.add_option("--backup-set", o->backupSet, "the subclient's backup set")->option_text("S");
    command.add_option("--instance", o->instance, "the instance (default: default)")->option_text("I");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runJobs(*o); };
}

struct JobOptions {
    HomeOptions home;
    std::vector<std::string> positional;
    bool json = false;
};

int runJob(const JobOptions& o) {
    Report report("job", o.json);
    auto usageError = [&](const std::string& message) { return report.fail(Status(Status::Code::BadUsage, message)); };
    if (o.positional.size() != 2 || o.positional[0] != "show") return usageError("use: aztable job show JOB");
    char* end = nullptr;
    const long long id = std::strtoll(o.positional[1].c_str(), &end, 10);
    if (id <= 0 || !end || *end) return usageError("'" + o.positional[1] + "' is not a job id");
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    JobSummary j;
    if (!(status = AzureTableIDA::showJob(platform::defaultRuntime(), id, j)).ok()) return report.fail(status);
    report.set("job", jobJson(report, j, true));
    report.say("job %lld: %s%s of subclient %s, %s\n", j.job.id, kindOf(j.job.level), j.job.level == 3 ? "" : " backup",
               j.subclient.c_str(), j.status.c_str());
    report.say("  started %s, ended %s, holds changes up to %s\n", timeText(j.job.startTime).c_str(),
               timeText(j.job.endTime).c_str(), timeText(j.job.referenceTime).c_str());
    for (const auto& t : j.tables) sayTable(report, t);
    if (!j.job.failure.empty()) report.say("  %s\n", j.job.failure.c_str());
    return report.finish(0);
}

CommandRun defineJob(CLI::App& command) {
    auto o = std::make_shared<JobOptions>();
    command.description("aztable job show JOB: a job's tables with their status, counts, bytes, times and failures.");
    command.add_option("action", o->positional, "show JOB");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runJob(*o); };
}

}  // namespace

AZTABLE_COMMAND("backup", "back up a subclient's tables as one job (full or incremental, resumable)", defineBackup);
AZTABLE_COMMAND("jobs", "list the backup jobs of one or every subclient", defineJobs);
AZTABLE_COMMAND("job", "show one backup job table by table", defineJob);

}  // namespace aztable
