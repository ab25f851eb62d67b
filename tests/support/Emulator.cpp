#include "Emulator.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/http/ConnectionString.h"
#include "table_service/AzureTableStorage.h"
#include "tests/support/MemoryEnvironment.h"

namespace testing_support {
namespace {

std::mutex g_mutex;
bool g_tried = false;
std::string g_connectionString;
std::string g_error;
std::string g_stateDir;

void stopOwnEmulator() {
    if (g_stateDir.empty()) return;
    std::string command = "AZTABLE_EMULATOR_DIR=" + shellQuote(g_stateDir) + " " +
                          shellQuote(std::string(AZT_SOURCE_DIR) + "/scripts/emulator") +
                          " stop >/dev/null 2>&1; rm -rf " + shellQuote(g_stateDir);
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not stop the test emulator\n");
}

std::string startOwnEmulator(std::string& error) {
    g_stateDir = std::string(AZT_BINARY_DIR) + "/emulator-test-" + std::to_string(::getpid());
    std::string command = "AZTABLE_EMULATOR_DIR=" + shellQuote(g_stateDir) +
                          " AZTABLE_EMULATOR_OWNER_PID=" + std::to_string(::getpid()) + " " +
                          shellQuote(std::string(AZT_SOURCE_DIR) + "/scripts/emulator") + " start";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        error = "cannot run scripts/emulator";
        return "";
    }
    std::string output;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = ::pclose(pipe);
    std::atexit(stopOwnEmulator);
    static const std::string marker = "AZTABLE_TEST_CONNECTION_STRING='";
    size_t at = output.find(marker);
    if (status != 0 || at == std::string::npos) {
        error = "scripts/emulator start failed (see " + g_stateDir + "/azurite.log)";
        return "";
    }
    size_t begin = at + marker.size();
    size_t end = output.find('\'', begin);
    return output.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

}  // namespace

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int runShell(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string aztableCommand() { return shellQuote(std::string(AZT_BINARY_DIR) + "/bin/aztable"); }

std::string emulatorConnectionString(std::string* error) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_tried) {
        g_tried = true;
        const char* given = std::getenv("AZTABLE_TEST_CONNECTION_STRING");
        if (given && *given)
            g_connectionString = given;
        else
            g_connectionString = startOwnEmulator(g_error);
    }
    if (error) *error = g_error;
    return g_connectionString;
}

std::string uniqueTableName(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string tail = std::to_string(::getpid()) + "x" + std::to_string(++counter) + "r";
    for (int i = 0; i < 6; ++i) tail += letters[device() % 36];
    return prefix.substr(0, 63 - tail.size()) + tail;
}

void EmulatorTest::SetUp() {
    std::string error;
    connection = emulatorConnectionString(&error);
    ASSERT_FALSE(connection.empty()) << "no emulator: " << error;
    platform::http::StorageConnection parsed;
    ASSERT_TRUE(platform::http::parseConnectionString(connection, parsed, error)) << error;
    credentials.accountName = parsed.accountName;
    credentials.accountUrl = parsed.tableEndpoint;
    credentials.accessKey = parsed.accountKey;
    credentials.spareText = "";
    credentials.spareNumber = -1;
}

void EmulatorTest::createTable(const std::string& table) {
    MemoryEnvironment env;
    AzureTableStorage client(credentials, env);
    ASSERT_EQ(client.createTable("{\"TableName\":\"" + table + "\"}").errorKind, 0);
}

void EmulatorTest::writeEntities(const std::string& table, const std::vector<std::string>& lines) {
    MemoryEnvironment env;
    AzureTableStorage client(credentials, env);
    auto outcome = client.batchInsert(table, lines);
    ASSERT_EQ(outcome.errorKind, 0);
    ASSERT_TRUE(!outcome.result || outcome.result->empty()) << outcome.result->size() << " lines not written";
}

}  // namespace testing_support
