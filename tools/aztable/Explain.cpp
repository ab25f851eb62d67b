#include "Explain.h"

#include <cctype>
#include <cstdio>

#include "table_service/AzureTableErrors.h"

namespace aztable {

std::string tableNameProblem(const std::string& name) {
    bool ok = name.size() >= 3 && name.size() <= 63 && std::isalpha(static_cast<unsigned char>(name[0]));
    for (unsigned char c : name) ok = ok && std::isalnum(c);
    if (ok) return "";
    return "'" + name + "' is not a table name (3 to 63 letters and digits, starting with a letter)";
}

namespace {

bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

std::string explainServiceFailure(const std::string& body, const std::string& table, const std::string& account) {
    // "<code>: <message>" as the service sent it, scrubbed.
    const std::string said = table_service::summarizeErrorBody(body);
    const std::string code = table_service::errorCodeOf(body);
    if (code == "ResourceNotFound" || code == "TableNotFound")
        return "table " + table + " does not exist in account " + account;
    if (code == "AuthenticationFailed" || (code == "AuthorizationFailure" && has(said, "authenticate")))
        return "the service refused the account key of " + account + " (403 " + said +
               "); check the key in the connection string";
    if (code == "AuthorizationFailure" || code == "AuthorizationPermissionMismatch" ||
        code == "AuthorizationResourceTypeMismatch" || code == "AuthorizationServiceMismatch" ||
        code == "InsufficientAccountPermissions")
        return "permission denied: the credentials of account " + account + " may not do this (403 " + said + ")";
    if (code == "OperationCancelled") return "stopped on request";
    if (code == "TransportError") return "no reply from the service: " + said.substr(said.find(':') + 2);
    if (code == "TableBeingDeleted") return "table " + table + " is still being deleted; try again in a minute";
    return "the service answered " + said;
}

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}

}  // namespace aztable
