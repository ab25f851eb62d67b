#pragma once
// The in-memory service behind the scripted transport, credentials for it, and a fresh folder.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/store/BackupReader.h"
#include "support/BackupFolder.h"
#include "support/FakeSleeper.h"
#include "support/TempFolder.h"
#include "support/FakeTableService.h"
#include "support/FakeTransport.h"
#include "support/MemoryEnvironment.h"
#include "table_service/AzureTableCredentials.h"

namespace backup_test {

using testing_support::FakeTableService;

inline std::vector<std::string> splitLines(const std::string& data) {
    std::vector<std::string> lines;
    std::stringstream in(data);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() {
        credentials.accountName = "acct";
        credentials.accountUrl = "https://acct.table.core.windows.net";
        credentials.accessKey = "a2V5";
    }

    std::vector<std::string> queryUrls() {
        std::vector<std::string> urls;
        for (const auto& r : transport->requests())
            if (r.url.find("Tables('") == std::string::npos) urls.push_back(r.url);
        return urls;
    }
    // The messages logged under one function name, in order.
    static std::vector<std::string> messages(const testing_support::MemoryEnvironment& env, const std::string& function) {
        std::vector<std::string> out;
        for (const auto& line : env.logLines())
            if (line.function == function) out.push_back(line.message);
        return out;
    }
    std::vector<std::string> storedLines(const std::string& dir) { return testing_support::readBackupLines(dir); }

    testing_support::FakeTransportScope transport;
    testing_support::FakeSleeperScope sleeper;
    testing_support::FakeTableService service{*transport};
    AzureTableCredentials credentials;
    testing_support::TempFolder temp;
    const std::string folder = temp.path();
};

}  // namespace backup_test
