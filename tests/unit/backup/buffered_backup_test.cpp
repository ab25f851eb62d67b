#include <gtest/gtest.h>

#include <thread>

#include "RunnerFixture.h"
#include "backup/AzureTableBackup.h"

using backup_test::splitLines;
using testing_support::MemoryEnvironment;

namespace {

class BufferedBackupTest : public backup_test::ServiceTest {
protected:
    // Runs startBackup on this thread while another drains the buffer, as the platform does.
    bool runAndDrain(AzureBufferedBackup& out, std::string& data) {
        std::thread consumer([&] {
            std::vector<char> block(7);
            while (true) {
                unsigned long filled = 0;
                bool end = false;
                if (!out.fillBuffer(block.data(), block.size(), filled, end)) break;
                data.append(block.data(), filled);
                if (end) break;
            }
        });
        out.initializeBackup();
        bool ok = out.startBackup(true);
        out.finishProducing();
        consumer.join();
        return ok;
    }
    MemoryEnvironment env;
};

}  // namespace

TEST_F(BufferedBackupTest, StartBackupScansEveryPageIntoItsOwnBuffer) {
    service.fill(23);
    AzureBufferedBackup out(64);  // smaller than a page: the scan waits for the consumer
    ASSERT_TRUE(out.initialize(credentials, &env, "t1", "", 1700000000, 1609459199));
    std::string data;
    ASSERT_TRUE(runAndDrain(out, data));
    EXPECT_EQ(splitLines(data), service.expectedLines());
    EXPECT_EQ(out.getRestartString(), "");  // the last page has no continuation
    EXPECT_NE(queryUrls()[0].find("le%20datetime'2023-11-14T22:13:20Z'%20and%20Timestamp%20gt%20datetime'2020-12-31"),
              std::string::npos)
        << queryUrls()[0];
    EXPECT_TRUE(env.failures().empty());
}

TEST_F(BufferedBackupTest, ARestartStringGivenToCloseWinsOverTheInitialOne) {
    service.fill(30);
    AzureBufferedBackup out;
    const auto& e = service.rows();
    std::string r1 = backup_test::FakeTableService::restartAt(e[10]);
    std::string r2 = backup_test::FakeTableService::restartAt(e[20]);
    out.initialize(credentials, &env, "t1", r1, 0, 0);
    EXPECT_TRUE(out.flush());
    EXPECT_TRUE(out.initializeBackup());
    EXPECT_EQ(out.getRestartString(), r1);
    EXPECT_TRUE(out.close(r2));
    std::string data;
    ASSERT_TRUE(runAndDrain(out, data));
    EXPECT_EQ(splitLines(data).size(), 10u);
    EXPECT_EQ(splitLines(data).front(), e[20].json);
}

TEST_F(BufferedBackupTest, AStopRequestEndsTheScanAtAPageBoundaryAndStillSucceeds) {
    service.fill(30);
    AzureBufferedBackup out;
    out.initialize(credentials, &env, "t1", "", 0, 0);
    out.requestStop();
    std::string data;
    EXPECT_TRUE(runAndDrain(out, data));
    EXPECT_EQ(splitLines(data).size(), 10u);
    EXPECT_NE(out.getRestartString(), "");
    EXPECT_EQ(queryUrls().size(), 1u);
}

