// Subclients: aztable subclient create|list|show|delete.
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Home.h"
#include "Report.h"
#include "agent/Subclients.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

namespace aztable {
namespace {

using platform::Status;

struct SubclientOptions {
    HomeOptions home;
    std::vector<std::string> positional;
    std::string instance = "default";
    std::string backupSet;
    bool all = false;
    std::vector<std::string> accounts;
    std::vector<std::string> tables;
    bool makeDefault = false;
    bool trackDeletions = false;
    bool json = false;
};

rapidjson::Value summaryJson(Report& report, const AzureTableIDA::SubclientSummary& s) {
    rapidjson::Value item(rapidjson::kObjectType);
    auto& a = report.allocator();
    item.AddMember("id", static_cast<int64_t>(s.id), a);
    item.AddMember("name", report.string(s.name), a);
    item.AddMember("instance", report.string(s.instance), a);
    item.AddMember("backupSet", report.string(s.backupSet), a);
    item.AddMember("default", s.isDefault, a);
    rapidjson::Value content(rapidjson::kArrayType);
    for (const auto& entry : s.content) content.PushBack(report.string(entry), a);
    item.AddMember("content", content, a);
    item.AddMember("lastBackupRefTime", static_cast<int64_t>(s.lastBackupRefTime), a);
    item.AddMember("jobs", static_cast<uint64_t>(s.jobs), a);
    item.AddMember("trackDeletions", s.trackDeletions, a);
    return item;
}

std::string contentText(const AzureTableIDA::SubclientSummary& s) {
    std::string text;
    for (const auto& entry : s.content) text += (text.empty() ? "" : ", ") + entry;
    return text;
}

void sayOne(Report& report, const AzureTableIDA::SubclientSummary& s) {
    report.say("%-20s set %-18s %s%s%s\n", s.name.c_str(), s.backupSet.c_str(), contentText(s).c_str(),
               s.isDefault ? " (default: leaves out what the set's other subclients name)" : "",
               s.trackDeletions ? " (tracks deletions)" : "");
}

int runSubclient(const SubclientOptions& o) {
    Report report("subclient", o.json);
    auto usageError = [&](const std::string& message) { return report.fail(Status(Status::Code::BadUsage, message)); };
    if (o.positional.empty()) return usageError("missing action (create, list, show or delete)");
    const std::string& action = o.positional[0];
    report.set("action", action).set("instance", o.instance);
    const bool named = action == "create" || action == "show" || action == "delete";
    if (!named && action != "list") return usageError("unknown action '" + action + "'");
    if (named && o.positional.size() != 2) return usageError(action + " takes exactly one subclient name");
    if (!named && o.positional.size() != 1) return usageError("list takes no name");
    const bool defines = o.all || !o.accounts.empty() || !o.tables.empty() || o.makeDefault;
    if (action != "create" && defines) return usageError("--all, --account, --table and --default belong to create");
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    platform::Runtime& runtime = platform::defaultRuntime();

    if (action == "list") {
        std::vector<AzureTableIDA::SubclientSummary> all;
        if (!(status = AzureTableIDA::listSubclients(runtime, o.instance, all)).ok()) return report.fail(status);
        rapidjson::Value list(rapidjson::kArrayType);
        for (const auto& s : all) {
            list.PushBack(summaryJson(report, s), report.allocator());
            sayOne(report, s);
        }
        report.set("subclients", std::move(list));
        return report.finish(0);
    }
    const std::string& name = o.positional[1];
    report.set("name", name);
    AzureTableIDA::SubclientSummary summary;
    if (action == "delete") {
        if (!(status = AzureTableIDA::deleteSubclient(runtime, o.instance, o.backupSet, name)).ok())
            return report.fail(status);
        report.say("deleted subclient %s\n", name.c_str());
        return report.finish(0);
    }
    if (action == "show") {
        if (!(status = AzureTableIDA::showSubclient(runtime, o.instance, o.backupSet, name, summary)).ok())
            return report.fail(status);
    } else {
        AzureTableIDA::SubclientDefinition d;
        d.instance = o.instance;
        d.backupSet = o.backupSet;
        d.name = name;
        d.all = o.all;
        d.accounts = o.accounts;
        d.makeDefault = o.makeDefault;
        d.trackDeletions = o.trackDeletions;
        for (const auto& table : o.tables) {
            const size_t slash = table.find('/');
            if (slash == std::string::npos || slash == 0 || slash + 1 == table.size() ||
                table.find('/', slash + 1) != std::string::npos)
                return usageError("--table takes ACCOUNT/TABLE, not '" + table + "'");
            d.tables.emplace_back(table.substr(0, slash), table.substr(slash + 1));
        }
        if (!(status = AzureTableIDA::createSubclient(runtime, d, summary)).ok()) return report.fail(status);
    }
    report.set("subclient", summaryJson(report, summary));
    sayOne(report, summary);
    if (action == "show") {
        report.say("  jobs: %zu\n", summary.jobs);
        report.say("  deletions: %s\n", summary.trackDeletions ? "tracked (each job stores every table's keys)"
                                                               : "not tracked (restores bring back deleted entities)");
        if (summary.lastBackupRefTime > 0)
            report.say("  next incremental backup starts after %s\n",
                       platform::text::isoTimestamp(summary.lastBackupRefTime * 1000).c_str());
        else
            report.say("  no backup finished yet: the next backup is full\n");
    }
    return report.finish(0);
}

CommandRun defineSubclient(CLI::App& command) {
    auto o = std::make_shared<SubclientOptions>();
    command.description(
        "What a backup job backs up:\n"
        "  aztable subclient create NAME (--all | --account A ... | --table A/T ...) [--default]\n"
        "                          [--track-deletions] [--backup-set S]\n"
        "  aztable subclient list\n"
        "  aztable subclient show NAME\n"
        "  aztable subclient delete NAME     (not the default subclient, nor one with jobs)\n"
        "The instance's default backup set has the default subclient \"default\" (the whole instance),\n"
        "which backs up only the tables no other subclient of the set names. --default makes NAME\n"
        "its set's default subclient, and is refused while the set has one. --track-deletions makes\n"
        "every job also store each table's keys, so a restore leaves out what was deleted before it.");
    command.add_option("action", o->positional, "create NAME, list, show NAME or delete NAME");
    command.add_flag("--all", o->all, "create: every table of every account of the instance");
    command.add_option("--account", o->accounts, "create: every table of account A (repeatable)")->option_text("A");
    command.add_option("--table", o->tables, "create: table T of account A (repeatable)")->option_text("A/T");
    command.add_flag("--default", o->makeDefault, "create: make it its backup set's default subclient");
    command.add_flag("--track-deletions", o->trackDeletions,
                     "create: every job also stores each table's key set (a keys-only listing after its scan), so "
                     "restores leave out entities deleted before the job they restore");
    command.add_option("--backup-set", o->backupSet,
                       "the backup set (default: the instance's default set; create makes a missing one)")
        ->option_text("S");
    command.add_option("--instance", o->instance, "the instance (default: default)")->option_text("I");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runSubclient(*o); };
}

}  // namespace

AZTABLE_COMMAND("subclient", "create, list, show or delete what backup jobs back up", defineSubclient);

}  // namespace aztable
