// aztable table create|describe|delete|list: one table operation against a storage account.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "Command.h"
#include "Connection.h"
#include "Explain.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/log/DebugLog.h"
#include "table_service/AzureTableStorage.h"

namespace aztable {
namespace {

const char* const kUsage =
    "usage: aztable table create NAME [--wait] [options]\n"
    "       aztable table describe NAME [options]\n"
    "       aztable table delete NAME [--wait] [options]\n"
    "       aztable table list [options]\n"
    "\n"
    "  --wait                 create: until the table can be described;\n"
    "                         delete: until the service reports it gone\n"
    "  --timeout SECONDS      longest wait for --wait (default 120)\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "aztable table: %s\n", message.c_str());
    return 1;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "aztable table: %s\nRun 'aztable table --help' for the usage.\n", message.c_str());
    return 2;
}

int runTable(const std::vector<std::string>& given) {
    std::vector<std::string> args = given;
    for (const auto& arg : args) {
        if (arg == "-h" || arg == "--help") {
            std::printf("%s\nOptions:\n%s", kUsage, kConnectionOptionsHelp);
            return 0;
        }
    }
    ConnectionOptions options;
    std::string error;
    if (!takeConnectionOptions(args, options, error)) return usageError(error);

    bool wait = false;
    unsigned long timeoutSeconds = 120;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--wait") {
            wait = true;
        } else if (args[i] == "--timeout" || args[i].compare(0, 10, "--timeout=") == 0) {
            std::string value = args[i].size() > 9 ? args[i].substr(10) : (i + 1 < args.size() ? args[++i] : "");
            char* end = nullptr;
            timeoutSeconds = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || timeoutSeconds > 86400)
                return usageError("--timeout needs a number of seconds (at most 86400)");
        } else if (args[i].compare(0, 2, "--") == 0) {
            return usageError("unknown option " + args[i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.empty()) return usageError("missing action (create, describe, delete or list)");
    const std::string action = positional[0];
    bool needsName = action == "create" || action == "describe" || action == "delete";
    if (!needsName && action != "list") return usageError("unknown action '" + action + "'");
    if (needsName && positional.size() != 2) return usageError(action + " takes exactly one table name");
    if (!needsName && positional.size() != 1) return usageError("list takes no table name");
    const std::string name = needsName ? positional[1] : "";
    if (needsName && !tableNameProblem(name).empty()) return usageError(tableNameProblem(name));

    AzureTableCredentials credentials;
    if (!connect(options, credentials, error)) {
        std::fprintf(stderr, "aztable table: %s\n", error.c_str());
        return 2;
    }
    IdaLoggingEnvironment environment("aztable");
    AzureTableStorage client(credentials, environment);
    const std::string where = "account '" + credentials.accountName + "'";
    const unsigned int timeoutMs = static_cast<unsigned int>(timeoutSeconds * 1000);

    if (action == "list") {
        std::vector<std::string> tables;
        if (!client.queryTables(tables, &error)) return fail("listing the tables of " + where + " failed: " + platform::log::redact(error));
        for (const auto& table : tables) std::printf("%s\n", table.c_str());
        return 0;
    }
    if (action == "describe") {
        auto outcome = client.describeTable(name);
        if (!outcome.result) return fail("describing " + name + " failed: " + explainServiceFailure(outcome.errorMessage, name, credentials.accountName));
        std::printf("%s\n", outcome.result->toDescriptionJson().c_str());
        return 0;
    }
    if (action == "create") {
        auto outcome = client.createTable(AzureTableDescription(rapidjson::Value()).createTableRequest(name));
        if (!outcome.result) return fail("creating " + name + " failed: " + explainServiceFailure(outcome.errorMessage, name, credentials.accountName));
        std::printf("created table %s in %s\n", name.c_str(), where.c_str());
        if (wait) {
            if (!client.waitForActiveTable(name, timeoutMs))
                return fail("table '" + name + "' did not become usable within " + std::to_string(timeoutSeconds) + " s");
            std::printf("table %s is ready\n", name.c_str());
        }
        return 0;
    }
    // delete
    auto outcome = client.deleteTable(name);
    if (!outcome.result) return fail("deleting " + name + " failed: " + explainServiceFailure(outcome.errorMessage, name, credentials.accountName));
    std::printf("deleted table %s in %s\n", name.c_str(), where.c_str());
    if (wait) {
        if (!client.waitForDeletedTable(name, timeoutMs))
            return fail("table '" + name + "' was still there after " + std::to_string(timeoutSeconds) + " s");
        std::printf("table %s is gone\n", name.c_str());
    }
    return 0;
}

}  // namespace
}  // namespace aztable

AZTABLE_COMMAND("table", "create, describe, delete or list tables", aztable::runTable);
