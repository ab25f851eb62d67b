// aztable compare-tables: compares two tables entity by entity, property by property, value and
// type, leaving out what the service sets itself (Timestamp and the entity tag). Both tables are
// read as streams of pages merged in key order (agent/AzureTableCompare.h), so memory stays flat
// however large they are.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Connection.h"
#include "Explain.h"
#include "Report.h"
#include "agent/AzureTableCompare.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "table_service/AzureTableStorage.h"

namespace aztable {
namespace {

const char* const kDescription =
    "Compares table A with table B (of the same account, or of the account S) entity by entity:\n"
    "every property's value and type must agree; Timestamp and the entity tag are left out.\n"
    "Prints the differences; exits 0 when the tables are equal, 1 when they differ.";

const size_t kMaxListed = 20;

// False with `error` set when `table` does not exist or cannot be described.
bool checkTable(AzureTableStorage& client, const std::string& table, std::string& error) {
    auto described = client.describeTable(table);
    if (described.errorKind == 0) return true;
    error = described.errorKind == ResourceNotFound ? "table " + table + " does not exist"
                                                    : "cannot read table " + table + ": " + described.errorMessage;
    return false;
}

struct Options {
    ConnectionOptions connection;
    std::string otherConnectionString, table, other;
    bool json = false;
};

int compareTables(const Options& o) {
    Report report("compare-tables", o.json);
    using platform::Status;
    report.set("table", o.table).set("other", o.other);
    AzureTableCredentials credentials, otherCredentials;
    std::string error;
    if (!connect(o.connection, credentials, error)) return report.fail(Status(Status::Code::BadUsage, error));
    otherCredentials = credentials;
    if (!o.otherConnectionString.empty()) {
        ConnectionOptions otherConnection;
        otherConnection.connectionString = o.otherConnectionString;
        if (!connect(otherConnection, otherCredentials, error))
            return report.fail(Status(Status::Code::BadUsage, "other account: " + error));
    }
    report.set("account", credentials.accountName).set("otherAccount", otherCredentials.accountName);

    IdaLoggingEnvironment env("compare-tables");
    AzureTableStorage clientA(credentials, env), clientB(otherCredentials, env);
    if (!checkTable(clientA, o.table, error) || !checkTable(clientB, o.other, error))
        return report.fail(Status(Status::Code::NotFound, error));

    const auto started = std::chrono::steady_clock::now();
    auto result = AzureTableIDA::compareTables(
        o.table, [&] { return AzureTableIDA::tablePageReader(clientA, o.table); }, o.other,
        [&] { return AzureTableIDA::tablePageReader(clientB, o.other); }, kMaxListed);
    report.set("seconds", std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    // A comparison cut short lists nothing: what it found so far is no answer.
    if (!result.complete) return report.fail(Status(Status::Code::Failed, result.error));
    report.set("equal", result.differences == 0).set("differences", static_cast<unsigned long long>(result.differences));
    report.set("entities", static_cast<unsigned long long>(result.entitiesA))
        .set("otherEntities", static_cast<unsigned long long>(result.entitiesB));
    report.set("listed", result.listed);
    for (const auto& difference : result.listed) report.say("%s\n", difference.c_str());
    if (result.differences > kMaxListed) report.say("... and %zu more differences\n", result.differences - kMaxListed);
    if (result.differences == 0) {
        report.say("tables %s and %s are equal (%zu entities)\n", o.table.c_str(), o.other.c_str(), result.entitiesA);
        return report.finish(0);
    }
    report.say("tables %s and %s differ: %zu difference%s (%zu and %zu entities)\n", o.table.c_str(), o.other.c_str(),
               result.differences, result.differences == 1 ? "" : "s", result.entitiesA, result.entitiesB);
    return report.finish(1);
}

CommandRun defineCompareTables(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.description(kDescription);
    command.add_option("--table", o->table, "the first table")->required()->check(tableNameCheck())->option_text("A");
    command.add_option("--other", o->other, "the second table")->required()->check(tableNameCheck())->option_text("B");
    command.add_option("--other-connection-string", o->otherConnectionString, "the account of B (default: the account of A)")
        ->option_text("S");
    addConnectionOptions(command, o->connection);
    addJsonOption(command, o->json);
    return [o] { return compareTables(*o); };
}

}  // namespace

AZTABLE_COMMAND("compare-tables", "compare two tables entity by entity, value by value and type by type",
                defineCompareTables);

}  // namespace aztable
