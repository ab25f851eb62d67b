#include "Connection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/http/ConnectionString.h"
#include "platform/log/DebugLog.h"

namespace aztable {

const char* const kConnectionOptionsHelp =
    "  --connection-string S  storage connection string (default: $AZURE_STORAGE_CONNECTION_STRING),\n"
    "                         e.g. \"AccountName=...;AccountKey=...;EndpointSuffix=core.windows.net\"\n"
    "                         or \"UseDevelopmentStorage=true\" for the local emulator\n"
    "  --debug-log FILE       append a debug log (keys and signatures scrubbed) to FILE\n";

bool takeConnectionOptions(std::vector<std::string>& args, ConnectionOptions& options, std::string& error) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string* target = nullptr;
        std::string name;
        for (auto& option : {std::make_pair(std::string("--connection-string"), &options.connectionString),
                             std::make_pair(std::string("--debug-log"), &options.debugLogFile)}) {
            if (arg == option.first || arg.compare(0, option.first.size() + 1, option.first + "=") == 0) {
                target = option.second;
                name = option.first;
            }
        }
        if (!target) {
            rest.push_back(arg);
            continue;
        }
        if (arg.size() > name.size()) {
            *target = arg.substr(name.size() + 1);
        } else if (i + 1 < args.size()) {
            *target = args[++i];
        } else {
            error = name + " needs a value";
            return false;
        }
        if (target->empty()) {
            error = name + " needs a value";
            return false;
        }
    }
    args = std::move(rest);
    return true;
}

bool connect(const ConnectionOptions& options, AzureTableCredentials& credentials, std::string& error) {
    if (!options.debugLogFile.empty()) {
        int fd = ::open(options.debugLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = "cannot open the debug log " + options.debugLogFile + ": " + std::strerror(errno);
            return false;
        }
        ::close(fd);
        platform::log::setDebugLogFile(options.debugLogFile);
    }

    std::string text = options.connectionString;
    const char* source = "--connection-string";
    if (text.empty()) {
        const char* variable = std::getenv("AZURE_STORAGE_CONNECTION_STRING");
        if (variable) text = variable;
        source = "AZURE_STORAGE_CONNECTION_STRING";
    }
    if (text.empty()) {
        error = "no storage account given: use --connection-string or set AZURE_STORAGE_CONNECTION_STRING";
        return false;
    }
    platform::http::StorageConnection connection;
    std::string why;
    if (!platform::http::parseConnectionString(text, connection, why)) {
        error = std::string("bad connection string (") + source + "): " + why;
        return false;
    }
    credentials = AzureTableCredentials{};
    credentials.accountName = connection.accountName;
    credentials.accountUrl = connection.tableEndpoint;
    credentials.accessKey = connection.accountKey;
    credentials.spareText = "";
    credentials.spareNumber = -1;
    return true;
}

}  // namespace aztable
