#include "Emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/http/ConnectionString.h"
#include "table_service/AzureTableStorage.h"
#include "tests/support/MemoryEnvironment.h"

extern char** environ;

namespace testing_support {
namespace {

std::string g_stateDir;

// Runs `command` with /bin/sh, its stdout and stderr into `output`; its exit status, or -1.
int runShell(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen(("{ " + command + "; } 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string emulatorScript(const std::string& verb) {
    return "AZTABLE_EMULATOR_DIR=" + shellQuote(g_stateDir) + " AZTABLE_EMULATOR_OWNER_PID=" +
           std::to_string(::getpid()) + " " + shellQuote(std::string(AZT_SOURCE_DIR) + "/scripts/emulator") + " " + verb;
}

void stopOwnEmulator() {
    std::string output;
    if (runShell(emulatorScript("stop") + "; rm -rf " + shellQuote(g_stateDir), output) != 0)
        std::fprintf(stderr, "could not stop the test emulator: %s\n", output.c_str());
}

std::string startOwnEmulator(std::string& error) {
    g_stateDir = std::string(AZT_BINARY_DIR) + "/emulator-test-" + std::to_string(::getpid());
    std::string output;
    int status = runShell(emulatorScript("start"), output);
    std::atexit(stopOwnEmulator);
    static const std::string marker = "AZTABLE_TEST_CONNECTION_STRING='";
    size_t at = output.find(marker);
    if (status != 0 || at == std::string::npos) {
        error = "scripts/emulator start failed (see " + g_stateDir + "/azurite.log)";
        return "";
    }
    at += marker.size();
    return output.substr(at, output.find('\'', at) - at);
}

}  // namespace

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string entityToWrite(const std::string& pk, const std::string& rk, const std::string& properties) {
    auto quoted = [](const std::string& text) {
        std::string out = "\"";
        for (char c : text) out += c == '"' || c == '\\' ? std::string{'\\', c} : std::string(1, c);
        return out + "\"";
    };
    return "{\"odata.etag\":\"W/\\\"x\\\"\",\"PartitionKey\":" + quoted(pk) + ",\"RowKey\":" + quoted(rk) +
           (properties.empty() ? "" : "," + properties) + "}";
}

bool readUntil(int fd, std::string& text, const std::string& until, size_t from) {
    char buffer[1 << 16];
    while (until.empty() || text.find(until, from) == std::string::npos) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 60000) != 1) return false;  // gone quiet: give up, do not hang
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return until.empty();
        text.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void emulatorAccount(std::string& connection, AzureTableCredentials& credentials) {
    static std::string error;
    static const std::string given = [] {  // once, whichever thread asks first
        const char* variable = std::getenv("AZTABLE_TEST_CONNECTION_STRING");
        return variable && *variable ? std::string(variable) : startOwnEmulator(error);
    }();
    connection = given;
    ASSERT_FALSE(connection.empty()) << "no emulator: " << error;
    platform::http::StorageConnection parsed;
    std::string why;
    ASSERT_TRUE(platform::http::parseConnectionString(connection, parsed, why)) << why;
    credentials.accountName = parsed.accountName;
    credentials.accountUrl = parsed.tableEndpoint;
    credentials.accessKey = parsed.accountKey;
    credentials.spareNumber = -1;
}

std::string uniqueTableName(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    const std::string tail = std::to_string(::getpid()) + "x" + std::to_string(++counter) + "r" +
                             std::to_string(std::random_device()() % 1000000000);
    return prefix.substr(0, 63 - tail.size()) + tail;
}

void EmulatorTest::createTable(const std::string& table) {
    MemoryEnvironment env;
    ASSERT_EQ(AzureTableStorage(credentials, env).createTable("{\"TableName\":\"" + table + "\"}").errorKind, 0);
}

void EmulatorTest::writeEntities(const std::string& table, const std::vector<std::string>& lines) {
    MemoryEnvironment env;
    auto outcome = AzureTableStorage(credentials, env).batchInsert(table, lines);
    ASSERT_EQ(outcome.errorKind, 0);
    ASSERT_TRUE(!outcome.result || outcome.result->empty()) << outcome.result->size() << " lines not written";
}

std::string EmulatorTest::secondConnection() const {
    const std::string account = "aztablesecond";
    std::string endpoint = credentials.accountUrl;
    endpoint.replace(endpoint.rfind('/') + 1, std::string::npos, account);
    return "DefaultEndpointsProtocol=http;AccountName=" + account +
           ";AccountKey=YXp0YWJsZS1zZWNvbmQtdGVzdC1hY2NvdW50LWtleSE=;TableEndpoint=" + endpoint + ";";
}

std::string EmulatorTest::aztableCommand(const std::string& arguments, const std::string& environment) const {
    return "exec env AZURE_STORAGE_CONNECTION_STRING=" + shellQuote(connection) + " " + environment + " " +
           shellQuote(std::string(AZT_BINARY_DIR) + "/bin/aztable") + " " + arguments;
}

CommandResult EmulatorTest::aztable(const std::string& arguments, const std::string& environment) const {
    CommandResult result;
    result.status = runShell(aztableCommand(arguments, environment), result.output);
    return result;
}

pid_t EmulatorTest::spawnAztable(const std::string& arguments, int& output, const std::string& environment) const {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::string command = aztableCommand(arguments, environment);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), &command[0], nullptr};
    pid_t child = 0;
    int rc = posix_spawn(&child, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    output = fds[0];
    return rc == 0 ? child : 0;
}

}  // namespace testing_support
