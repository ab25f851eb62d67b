#pragma once
// Gives integration tests the account of the local Table service emulator.
//
// When AZTABLE_TEST_CONNECTION_STRING is set (scripts/test sets it) that emulator is used.
// Otherwise the first call starts an emulator of this test process's own, on a free loopback
// port (scripts/emulator with a state directory of its own), which stops when the process ends.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "table_service/AzureTableCredentials.h"

namespace testing_support {

// The connection string, or "" with `error` set when no emulator can be had.
std::string emulatorConnectionString(std::string* error = nullptr);

// A table name no other test (in this or another process) uses: `prefix` (letters and digits,
// starting with a letter) followed by digits and letters; 3 to 63 characters in all.
std::string uniqueTableName(const std::string& prefix = "t");

// `text` as one word for /bin/sh.
std::string shellQuote(const std::string& text);

// Runs `command` with /bin/sh; returns its exit status (-1 when it did not exit) and fills
// `output` with its stdout and stderr.
int runShell(const std::string& command, std::string& output);

// The controller built with these tests (build/bin/aztable), shell-quoted.
std::string aztableCommand();

// Fixture for tests against the emulator: `credentials` is the emulator's account, `connection`
// its connection string. A test fails in SetUp when no emulator can be had.
class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void createTable(const std::string& table);
    // Writes entity lines (a first member that the writer strips, then the entity); every one
    // must be written.
    void writeEntities(const std::string& table, const std::vector<std::string>& lines);

    AzureTableCredentials credentials;
    std::string connection;
};

}  // namespace testing_support
