#pragma once
// Gives integration tests the account of the local Table service emulator, and runs the
// controller built with these tests (build/bin/aztable) against it.
//
// When AZTABLE_TEST_CONNECTION_STRING is set (scripts/test sets it) that emulator is used.
// Otherwise the first call starts an emulator of this test process's own, on a free loopback
// port (scripts/emulator with a state directory of its own), which stops when the process ends.
#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "table_service/AzureTableCredentials.h"

namespace testing_support {

// The emulator's connection string and account; a failure of the calling test when no emulator
// can be had.
void emulatorAccount(std::string& connection, AzureTableCredentials& credentials);

// A table name no other test (in this or another process) uses: `prefix` (letters and digits,
// starting with a letter) followed by digits and letters; 3 to 63 characters in all.
std::string uniqueTableName(const std::string& prefix = "t");

// `text` as one word for /bin/sh.
std::string shellQuote(const std::string& text);

// An entity line to write, as a backup holds it: an entity tag (which the writer strips), the
// keys as JSON strings, then `properties` (JSON members, without braces).
std::string entityToWrite(const std::string& pk, const std::string& rk, const std::string& properties = "");

// Reads `fd` into `text` until `until` appears in it at `from` or later, or to its end when
// `until` is empty; false when the end (or a minute of silence) came first.
bool readUntil(int fd, std::string& text, const std::string& until = "", size_t from = 0);

struct CommandResult {
    int status = -1;     // the exit status; -1 when the command did not exit
    std::string output;  // stdout and stderr together
};

// Fixture for tests against the emulator: `credentials` is the emulator's account, `connection`
// its connection string. A test fails in SetUp when no emulator can be had.
class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(emulatorAccount(connection, credentials)); }
    void createTable(const std::string& table);
    // Writes entity lines (a first member that the writer strips, then the entity); every one
    // must be written.
    void writeEntities(const std::string& table, const std::vector<std::string>& lines);

    // Runs the controller with `arguments` (shell words) and the emulator's connection string in
    // AZURE_STORAGE_CONNECTION_STRING, after the assignments in `environment`.
    CommandResult aztable(const std::string& arguments, const std::string& environment = "") const;
    // The same, started in the background: its pid (0 on failure), its stdout and stderr on the
    // pipe whose reading end is put in `output`.
    pid_t spawnAztable(const std::string& arguments, int& output, const std::string& environment = "") const;

    // The emulator's second account (scripts/emulator names it), as a connection string.
    std::string secondConnection() const;

    AzureTableCredentials credentials;
    std::string connection;

private:
    std::string aztableCommand(const std::string& arguments, const std::string& environment) const;
};

}  // namespace testing_support
