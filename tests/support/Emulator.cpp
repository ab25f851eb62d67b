#include "Emulator.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/http/ConnectionString.h"

namespace testing_support {
namespace {

std::mutex g_mutex;
bool g_tried = false;
std::string g_connectionString;
std::string g_error;
std::string g_stateDir;

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

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
    std::string text = emulatorConnectionString(&error);
    ASSERT_FALSE(text.empty()) << "no emulator: " << error;
    platform::http::StorageConnection connection;
    ASSERT_TRUE(platform::http::parseConnectionString(text, connection, error)) << error;
    credentials.accountName = connection.accountName;
    credentials.accountUrl = connection.tableEndpoint;
    credentials.accessKey = connection.accountKey;
    credentials.spareText = "";
    credentials.spareNumber = -1;
}

}  // namespace testing_support
