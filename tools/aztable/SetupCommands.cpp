// Setting the agent up: aztable init, account add|list|remove, tables, events.
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Connection.h"
#include "Home.h"
#include "Report.h"
#include "agent/AgentSetup.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

namespace aztable {
namespace {

using platform::Status;

struct InitOptions {
    HomeOptions home;
    bool json = false;
};

int runInit(const InitOptions& o) {
    Report report("init", o.json);
    AzureTableIDA::InitResult result;
    const std::string home = homeFolder(o.home);
    report.set("home", home);
    Status status = AzureTableIDA::initHome(home, result);
    if (!status.ok()) return report.fail(status);
    report.set("created", result.created).set("client", result.clientName);
    report.set("catalog", result.layout.catalog).set("store", result.layout.store);
    report.set("jobResults", result.layout.jobResults).set("configuration", result.layout.configuration);
    report.set("cell", result.cellId).set("instance", "default").set("backupSet", "defaultBackupSet");
    report.set("defaultSubclient", result.subclientId);
    if (result.created)
        report.say("initialised %s for client %s: catalog, store, job results and configuration\n"
                   "next: aztable account add NAME (with AZURE_STORAGE_CONNECTION_STRING set)\n",
                   home.c_str(), result.clientName.c_str());
    else
        report.say("%s is already initialised (client %s); nothing changed\n", home.c_str(), result.clientName.c_str());
    return report.finish(0);
}

CommandRun defineInit(CLI::App& command) {
    auto o = std::make_shared<InitOptions>();
    command.description("Creates the agent's home folder (mode 0700): catalog, backup store, job results folder,\n"
                        "configuration, and the default instance, backup set and subclient. Safe to run again.");
    command.add_option("--home", o->home.home, "the folder (default: $AZTABLE_HOME, else ~/.aztable)")
        ->option_text("DIR");
    addJsonOption(command, o->json);
    return [o] { return runInit(*o); };
}

struct AccountOptions {
    HomeOptions home;
    std::vector<std::string> positional;
    std::string instance = "default";
    std::string connectionStringFile;
    std::string requestTimeout;
    bool json = false;
};

int runAccount(const AccountOptions& o) {
    Report report("account", o.json);
    auto usageError = [&](const std::string& message) { return report.fail(Status(Status::Code::BadUsage, message)); };
    if (o.positional.empty()) return usageError("missing action (add, list or remove)");
    const std::string& action = o.positional[0];
    report.set("action", action).set("instance", o.instance);
    if (action == "list") {
        if (o.positional.size() != 1) return usageError("list takes no account name");
    } else if (action == "add" || action == "remove") {
        if (o.positional.size() != 2) return usageError(action + " takes exactly one account name");
    } else {
        return usageError("unknown action '" + action + "'");
    }
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    platform::Runtime& runtime = platform::defaultRuntime();

    if (action == "list") {
        std::vector<AzureTableIDA::AccountSummary> accounts;
        if (!(status = AzureTableIDA::listAccounts(runtime, o.instance, accounts)).ok()) return report.fail(status);
        rapidjson::Value list(rapidjson::kArrayType);
        for (const auto& account : accounts) {
            rapidjson::Value item(rapidjson::kObjectType);
            item.AddMember("name", report.string(account.name), report.allocator());
            item.AddMember("instance", report.string(account.instance), report.allocator());
            item.AddMember("endpoint", report.string(account.endpoint), report.allocator());
            list.PushBack(item, report.allocator());
            report.say("%-24s %s\n", account.name.c_str(), account.endpoint.c_str());
        }
        if (accounts.empty()) report.say("instance '%s' has no accounts yet\n", o.instance.c_str());
        report.set("accounts", std::move(list));
        return report.finish(0);
    }
    const std::string& name = o.positional[1];
    report.set("account", name);
    if (action == "remove") {
        if (!(status = AzureTableIDA::removeAccount(runtime, o.instance, name)).ok()) return report.fail(status);
        report.say("removed account %s from instance %s\n", name.c_str(), o.instance.c_str());
        return report.finish(0);
    }
    // add: the key comes from the environment or a private file, never from the command line.
    ConnectionOptions connection;
    connection.connectionStringFile = o.connectionStringFile;
    connection.requestTimeout = o.requestTimeout;
    AzureTableCredentials credentials;
    std::string error;
    if (!connect(connection, credentials, error)) return usageError(error);
    size_t tables = 0;
    if (!(status = AzureTableIDA::addAccount(runtime, o.instance, name, credentials, tables)).ok())
        return report.fail(status);
    report.set("endpoint", credentials.accountUrl).set("tables", static_cast<unsigned long long>(tables));
    report.say("added account %s (%s, %zu tables) to instance %s\n", name.c_str(), credentials.accountUrl.c_str(),
               tables, o.instance.c_str());
    return report.finish(0);
}

CommandRun defineAccount(CLI::App& command) {
    auto o = std::make_shared<AccountOptions>();
    command.description(
        "The storage accounts of an instance:\n"
        "  aztable account add NAME      endpoint and key from AZURE_STORAGE_CONNECTION_STRING or\n"
        "                                --connection-string-file; checked against the service first\n"
        "  aztable account list          names and endpoints (never keys)\n"
        "  aztable account remove NAME");
    command.add_option("action", o->positional, "add NAME, list or remove NAME");
    command.add_option("--instance", o->instance, "the instance (default: default)")->option_text("I");
    command.add_option("--connection-string-file", o->connectionStringFile,
                       "add: read the connection string from FILE (keep it mode 0600)")
        ->option_text("FILE");
    command.add_option("--request-timeout", o->requestTimeout, "add: give up on the check after this long")
        ->option_text("SECONDS");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runAccount(*o); };
}

struct TablesOptions {
    HomeOptions home;
    std::string account;
    std::string instance = "default";
    bool json = false;
};

int runTables(const TablesOptions& o) {
    Report report("tables", o.json);
    report.set("instance", o.instance);
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    std::vector<AzureTableIDA::AccountTables> accounts;
    status = AzureTableIDA::listTables(platform::defaultRuntime(), o.instance, o.account, accounts);
    rapidjson::Value list(rapidjson::kArrayType);
    std::vector<std::string> failures;
    for (const auto& account : accounts) {
        rapidjson::Value item(rapidjson::kObjectType);
        item.AddMember("account", report.string(account.account), report.allocator());
        rapidjson::Value names(rapidjson::kArrayType);
        for (const auto& table : account.tables) {
            names.PushBack(report.string(table), report.allocator());
            report.say("%s/%s\n", account.account.c_str(), table.c_str());
        }
        item.AddMember("tables", names, report.allocator());
        item.AddMember("ok", !account.failed, report.allocator());
        if (account.failed) {
            item.AddMember("error", report.string(account.failure), report.allocator());
            failures.push_back("account " + account.account + ": " + account.failure);
        }
        list.PushBack(item, report.allocator());
    }
    report.set("accounts", std::move(list));
    if (!status.ok()) return report.fail(status.code == Status::Code::Failed && !failures.empty()
                                             ? Status(status.code, "the tables of " + std::to_string(failures.size()) +
                                                                       " account(s) could not be listed")
                                             : status,
                                         failures);
    if (accounts.empty()) report.say("instance '%s' has no accounts yet\n", o.instance.c_str());
    return report.finish(0);
}

CommandRun defineTables(CLI::App& command) {
    auto o = std::make_shared<TablesOptions>();
    command.description("Lists the tables of ACCOUNT, or of every account of the instance.");
    command.add_option("account", o->account, "one account (default: all)");
    command.add_option("--instance", o->instance, "the instance (default: default)")->option_text("I");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runTables(*o); };
}

struct EventsOptions {
    HomeOptions home;
    long long job = -1;
    bool json = false;
};

const char* severityName(int severity) {
    switch (severity) {
    case platform::catalog::EventRecord::Minor: return "minor";
    case platform::catalog::EventRecord::Major: return "major";
    case platform::catalog::EventRecord::Critical: return "critical";
    default: return "event";
    }
}

int runEvents(const EventsOptions& o) {
    Report report("events", o.json);
    Status status = openHome(o.home);
    if (!status.ok()) return report.fail(status);
    std::vector<platform::catalog::EventRecord> events;
    if (!(status = AzureTableIDA::listEvents(platform::defaultRuntime(), o.job, events)).ok()) return report.fail(status);
    rapidjson::Value list(rapidjson::kArrayType);
    for (const auto& event : events) {
        rapidjson::Value item(rapidjson::kObjectType);
        const std::string when = platform::text::isoTimestamp(event.time * 1000);
        item.AddMember("time", report.string(when), report.allocator());
        item.AddMember("job", static_cast<int64_t>(event.jobId), report.allocator());
        item.AddMember("severity", report.string(severityName(event.severity)), report.allocator());
        item.AddMember("message", report.string(event.message), report.allocator());
        list.PushBack(item, report.allocator());
        report.say("%s job %lld %-8s %s\n", when.c_str(), event.jobId, severityName(event.severity), event.message.c_str());
    }
    if (events.empty()) report.say("no events recorded\n");
    report.set("events", std::move(list));
    return report.finish(0);
}

CommandRun defineEvents(CLI::App& command) {
    auto o = std::make_shared<EventsOptions>();
    command.description("Shows the recorded job events, oldest first.");
    command.add_option("--job", o->job, "only the events of job J")->option_text("J");
    addHomeOptions(command, o->home);
    addJsonOption(command, o->json);
    return [o] { return runEvents(*o); };
}

}  // namespace

AZTABLE_COMMAND("init", "create the agent's home folder: catalog, store, configuration", defineInit);
AZTABLE_COMMAND("account", "add, list or remove the storage accounts of an instance", defineAccount);
AZTABLE_COMMAND("tables", "list the tables of one account or of all accounts", defineTables);
AZTABLE_COMMAND("events", "show the recorded job events", defineEvents);

}  // namespace aztable
