// aztable compare-tables: compares two tables entity by entity, property by property, value and
// type, leaving out what the service sets itself (Timestamp and the entity tag). Both tables are
// read as streams of pages merged in key order (agent/AzureTableCompare.h), so memory stays flat
// however large they are.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "Connection.h"
#include "Explain.h"
#include "agent/AzureTableCompare.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "table_service/AzureTableStorage.h"

namespace aztable {
namespace {

const char* const kUsage =
    "usage: aztable compare-tables --table A --other B [--other-connection-string S]\n"
    "\n"
    "Compares table A with table B (of the same account, or of the account S) entity by entity:\n"
    "every property's value and type must agree; Timestamp and the entity tag are left out.\n"
    "Prints the differences; exits 0 when the tables are equal, 1 when they differ.\n"
    "\n"
    "  --table A                    the first table\n"
    "  --other B                    the second table\n"
    "  --other-connection-string S  the account of B (default: the account of A)\n";

const size_t kMaxListed = 20;

// False with `error` set when `table` does not exist or cannot be described.
bool checkTable(AzureTableStorage& client, const std::string& table, std::string& error) {
    auto described = client.describeTable(table);
    if (described.errorKind == 0) return true;
    error = described.errorKind == ResourceNotFound ? "table " + table + " does not exist"
                                                    : "cannot read table " + table + ": " + described.errorMessage;
    return false;
}

int compareTables(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    ConnectionOptions connection, otherConnection;
    std::string error, table, other;
    auto fail = [](const std::string& message, int code) {
        std::fprintf(stderr, "aztable compare-tables: %s\n", message.c_str());
        if (code == 2) std::fprintf(stderr, "\n%s%s", kUsage, kConnectionOptionsHelp);
        return code;
    };
    if (!takeConnectionOptions(args, connection, error)) return fail(error, 2);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            out = args[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::printf("%s%s", kUsage, kConnectionOptionsHelp);
            return 0;
        } else if (arg == "--table") {
            if (!value(table)) return fail("--table needs a table name", 2);
        } else if (arg == "--other") {
            if (!value(other)) return fail("--other needs a table name", 2);
        } else if (arg == "--other-connection-string") {
            if (!value(otherConnection.connectionString)) return fail("--other-connection-string needs a value", 2);
        } else {
            return fail("unknown option '" + arg + "'", 2);
        }
    }
    if (table.empty() || other.empty()) return fail("give both tables with --table and --other", 2);
    for (const std::string* name : {&table, &other})
        if (!tableNameProblem(*name).empty()) return fail(tableNameProblem(*name), 2);

    AzureTableCredentials credentials, otherCredentials;
    if (!connect(connection, credentials, error)) return fail(error, 2);
    otherCredentials = credentials;
    if (!otherConnection.connectionString.empty() && !connect(otherConnection, otherCredentials, error))
        return fail("other account: " + error, 2);

    IdaLoggingEnvironment env("compare-tables");
    AzureTableStorage clientA(credentials, env), clientB(otherCredentials, env);
    if (!checkTable(clientA, table, error) || !checkTable(clientB, other, error)) return fail(error, 1);

    auto result = AzureTableIDA::compareTables(
        table, [&] { return AzureTableIDA::tablePageReader(clientA, table); }, other,
        [&] { return AzureTableIDA::tablePageReader(clientB, other); }, kMaxListed);
    // A comparison cut short lists nothing: what it found so far is no answer.
    if (!result.complete) return fail(result.error, 1);
    for (const auto& difference : result.listed) std::printf("%s\n", difference.c_str());
    if (result.differences > kMaxListed) std::printf("... and %zu more differences\n", result.differences - kMaxListed);
    if (result.differences == 0) {
        std::printf("tables %s and %s are equal (%zu entities)\n", table.c_str(), other.c_str(), result.entitiesA);
        return 0;
    }
    std::printf("tables %s and %s differ: %zu difference%s (%zu and %zu entities)\n", table.c_str(), other.c_str(),
                result.differences, result.differences == 1 ? "" : "s", result.entitiesA, result.entitiesB);
    return 1;
}

}  // namespace

AZTABLE_COMMAND("compare-tables", "compare two tables entity by entity, value by value and type by type",
                compareTables);

}  // namespace aztable
