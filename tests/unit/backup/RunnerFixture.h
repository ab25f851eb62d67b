#pragma once
// The in-memory service behind the scripted transport, credentials for it, and a fresh folder.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/BackupFolder.h"
#include "support/FakeSleeper.h"
#include "support/FakeTableService.h"
#include "support/MemoryEnvironment.h"

namespace backup_test {

using testing_support::FakeTableService;

inline std::vector<std::string> splitLines(const std::string& data) {
    std::vector<std::string> lines;
    std::stringstream in(data);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ServiceTest : public ::testing::Test {
protected:
    // The entity queries sent, in order.
    std::vector<std::string> queryUrls() {
        std::vector<std::string> urls;
        for (const auto& r : transport->requests())
            if (r.url.find("Tables('") == std::string::npos) urls.push_back(r.url);
        return urls;
    }
    std::vector<std::string> storedLines(const std::string& dir) { return testing_support::readBackupLines(dir); }

    testing_support::FakeTransportScope transport;
    testing_support::FakeSleeperScope sleeper;
    FakeTableService service{*transport};
    AzureTableCredentials credentials = testing_support::testCredentials();
    testing_support::TempFolder temp;
    const std::string folder = temp.path();
};

}  // namespace backup_test
