#pragma once
// The options every command that talks to a storage account shares:
//   --connection-string S   the account (else the AZURE_STORAGE_CONNECTION_STRING variable)
//   --debug-log FILE        append the debug log (secrets scrubbed) to FILE
#include <string>
#include <vector>

#include "table_service/AzureTableCredentials.h"

namespace aztable {

struct ConnectionOptions {
    std::string connectionString;  // as given with --connection-string
    std::string debugLogFile;
};

// The help text of the shared options, one line per option.
extern const char* const kConnectionOptionsHelp;

// Takes the shared options ("--name value" or "--name=value") out of `args`, leaving the rest in
// order. False with `error` set when an option has no value.
bool takeConnectionOptions(std::vector<std::string>& args, ConnectionOptions& options, std::string& error);

// Opens the debug log (when asked) and turns the connection string into credentials. False with
// `error` set (never quoting the key) when neither the option nor the variable gives one, when
// it is malformed, or when the debug log cannot be opened.
bool connect(const ConnectionOptions& options, AzureTableCredentials& credentials, std::string& error);

}  // namespace aztable
