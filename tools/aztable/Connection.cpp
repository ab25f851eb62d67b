#include "Connection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/http/ConnectionString.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/log/DebugLog.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

namespace aztable {
namespace {

// The connection string from a file: its first non-empty line. A file that other users can read
// gives the key away as surely as a command line does, so that is said.
bool readConnectionStringFile(const std::string& path, std::string& text, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read the connection string file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && (info.st_mode & 077) != 0)
        std::fprintf(stderr, "aztable: warning: %s can be read by other users; chmod 600 it\n", path.c_str());
    std::string content;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && content.size() < (1u << 20);)
        content.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = platform::text::trim(content.substr(start, end - start));
        if (!line.empty()) {
            text = line;
            return true;
        }
        start = end + 1;
    }
    error = "the connection string file " + path + " is empty";
    return false;
}

}  // namespace

void addConnectionOptions(CLI::App& command, ConnectionOptions& options) {
    const char* group = "Connection options";
    command.add_option("--connection-string-file", options.connectionStringFile,
                       "read the storage connection string from FILE (keep it mode 0600)")
        ->option_text("FILE")
        ->group(group);
    command.add_option("--connection-string", options.connectionString,
                       "storage connection string (default: $AZURE_STORAGE_CONNECTION_STRING), e.g.\n"
                       "\"AccountName=...;AccountKey=...;EndpointSuffix=core.windows.net\" or\n"
                       "\"UseDevelopmentStorage=true\" for the local emulator; other users can read a\n"
                       "command line: prefer the file or the variable")
        ->option_text("S")
        ->group(group);
    command.add_option("--request-timeout", options.requestTimeout,
                       "give up on one request, retries included, after this long (default 180)")
        ->option_text("SECONDS")
        ->group(group);
    command.add_option("--debug-log", options.debugLogFile,
                       "append a debug log (keys and signatures scrubbed) to FILE")
        ->option_text("FILE")
        ->group(group);
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
        platform::defaultRuntime().log().setLevel(3);
    }

    if (!options.requestTimeout.empty()) {
        const std::string& value = options.requestTimeout;
        if (value.find_first_not_of("0123456789") != std::string::npos || value.size() > 6 || std::stol(value) < 1) {
            error = "--request-timeout wants a whole number of seconds, not '" + value + "'";
            return false;
        }
        platform::http::setRequestDeadlineMs(static_cast<unsigned long long>(std::stol(value)) * 1000);
    }

    if (!options.connectionString.empty() && !options.connectionStringFile.empty()) {
        error = "give the account either with --connection-string or with --connection-string-file, not both";
        return false;
    }
    std::string text = options.connectionString;
    std::string source = "--connection-string";
    if (!options.connectionStringFile.empty()) {
        source = options.connectionStringFile;
        if (!readConnectionStringFile(options.connectionStringFile, text, error)) return false;
    } else if (text.empty()) {
        const char* variable = std::getenv("AZURE_STORAGE_CONNECTION_STRING");
        if (variable) text = variable;
        source = "AZURE_STORAGE_CONNECTION_STRING";
    }
    if (text.empty()) {
        error = "no storage account given: set AZURE_STORAGE_CONNECTION_STRING or use --connection-string-file FILE";
        return false;
    }
    platform::http::StorageConnection connection;
    std::string why;
    if (!platform::http::parseConnectionString(text, connection, why)) {
        error = "bad connection string (" + source + "): " + why;
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
