#pragma once
// The options every command that talks to a storage account shares:
//   --connection-string-file FILE   the account, read from a file only its owner can read
//   --connection-string S   the account on the command line (others can read it there)
//   (neither: the AZURE_STORAGE_CONNECTION_STRING variable)
//   --request-timeout SECONDS       longest wait for one request with its retries
//   --debug-log FILE        append the debug log (secrets scrubbed) to FILE
#include <string>

#include <CLI/CLI.hpp>

#include "table_service/AzureTableCredentials.h"

namespace aztable {

struct ConnectionOptions {
    std::string connectionString;  // as given with --connection-string
    std::string connectionStringFile;
    std::string requestTimeout;    // seconds, as given
    std::string debugLogFile;
};

// Adds the shared options to a command, bound to `options` (which must outlive the parse), in
// the group "Connection options".
void addConnectionOptions(CLI::App& command, ConnectionOptions& options);

// Opens the debug log (when asked), sets the request deadline and turns the connection string
// into credentials. False with `error` set (never quoting the key) when no source gives one, when
// it is malformed or unreadable, or when the debug log cannot be opened.
bool connect(const ConnectionOptions& options, AzureTableCredentials& credentials, std::string& error);

}  // namespace aztable
