// aztable table create|describe|delete|list: one table operation against a storage account.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "Command.h"
#include "Connection.h"
#include "Explain.h"
#include "Report.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/log/DebugLog.h"
#include "table_service/AzureTableStorage.h"

namespace aztable {
namespace {

const char* const kDescription =
    "One table operation:\n"
    "  aztable table create NAME [--wait]    --wait: until the table can be described\n"
    "  aztable table describe NAME           prints the table's description.json text\n"
    "  aztable table delete NAME [--wait]    --wait: until the service reports it gone\n"
    "  aztable table list";

struct Options {
    ConnectionOptions connection;
    std::vector<std::string> positional;
    bool wait = false;
    unsigned long timeoutSeconds = 120;
    bool json = false;
};

int runTable(const Options& o) {
    using platform::Status;
    Report report("table", o.json);
    auto usageError = [&](const std::string& message) { return report.fail(Status(Status::Code::BadUsage, message)); };
    const std::vector<std::string>& positional = o.positional;
    if (positional.empty()) return usageError("missing action (create, describe, delete or list)");
    const std::string action = positional[0];
    bool needsName = action == "create" || action == "describe" || action == "delete";
    if (!needsName && action != "list") return usageError("unknown action '" + action + "'");
    if (needsName && positional.size() != 2) return usageError(action + " takes exactly one table name");
    if (!needsName && positional.size() != 1) return usageError("list takes no table name");
    const std::string name = needsName ? positional[1] : "";
    if (needsName && !tableNameProblem(name).empty()) return usageError(tableNameProblem(name));
    report.set("action", action);
    if (needsName) report.set("table", name);

    AzureTableCredentials credentials;
    std::string error;
    if (!connect(o.connection, credentials, error)) return usageError(error);
    report.set("account", credentials.accountName);
    IdaLoggingEnvironment environment("aztable");
    AzureTableStorage client(credentials, environment);
    const std::string where = "account '" + credentials.accountName + "'";
    const unsigned int timeoutMs = static_cast<unsigned int>(o.timeoutSeconds * 1000);
    auto fail = [&](const std::string& message, Status::Code code = Status::Code::Failed) {
        return report.fail(Status(code, message));
    };

    if (action == "list") {
        std::vector<std::string> tables;
        if (!client.queryTables(tables, &error)) return fail("listing the tables of " + where + " failed: " + platform::log::redact(error));
        report.set("tables", tables);
        for (const auto& table : tables) report.say("%s\n", table.c_str());
        return report.finish();
    }
    if (action == "describe") {
        auto outcome = client.describeTable(name);
        if (!outcome.result)
            return fail("describing " + name + " failed: " + explainServiceFailure(outcome.errorMessage, name, credentials.accountName),
                        outcome.errorKind == ResourceNotFound ? Status::Code::NotFound : Status::Code::Failed);
        const std::string text = outcome.result->toDescriptionJson();
        rapidjson::Document description(&report.allocator());
        description.Parse(text.c_str());
        if (!description.HasParseError()) report.set("description", rapidjson::Value(description, report.allocator()));
        report.say("%s\n", text.c_str());
        return report.finish();
    }
    if (action == "create") {
        auto outcome = client.createTable(AzureTableDescription(rapidjson::Value()).createTableRequest(name));
        if (!outcome.result) return fail("creating " + name + " failed: " + explainServiceFailure(outcome.errorMessage, name, credentials.accountName));
        report.say("created table %s in %s\n", name.c_str(), where.c_str());
        if (o.wait) {
            if (!client.waitForActiveTable(name, timeoutMs))
                return fail("table '" + name + "' did not become usable within " + std::to_string(o.timeoutSeconds) + " s");
            report.say("table %s is ready\n", name.c_str());
        }
        report.set("waited", o.wait);
        return report.finish();
    }
    // delete
    auto outcome = client.deleteTable(name);
    if (!outcome.result)
        return fail("deleting " + name + " failed: " + explainServiceFailure(outcome.errorMessage, name, credentials.accountName),
                    outcome.errorKind == ResourceNotFound ? Status::Code::NotFound : Status::Code::Failed);
    report.say("deleted table %s in %s\n", name.c_str(), where.c_str());
    if (o.wait) {
        if (!client.waitForDeletedTable(name, timeoutMs))
            return fail("table '" + name + "' was still there after " + std::to_string(o.timeoutSeconds) + " s");
        report.say("table %s is gone\n", name.c_str());
    }
    report.set("waited", o.wait);
    return report.finish();
}

CommandRun defineTable(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.description(kDescription);
    command.add_option("action", o->positional, "create NAME, describe NAME, delete NAME or list");
    command.add_flag("--wait", o->wait, "create: until the table can be described; delete: until the service reports it gone");
    command.add_option("--timeout", o->timeoutSeconds, "longest wait for --wait (default 120)")
        ->option_text("SECONDS")
        ->check(CLI::Range(0ul, 86400ul));
    addConnectionOptions(command, o->connection);
    addJsonOption(command, o->json);
    return [o] { return runTable(*o); };
}

}  // namespace
}  // namespace aztable

AZTABLE_COMMAND("table", "create, describe, delete or list tables", aztable::defineTable);
