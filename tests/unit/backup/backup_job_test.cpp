#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "RunnerFixture.h"
#include "backup/AzureTableBackupJob.h"
#include "support/FaultyFileSystem.h"

using platform::store::BackupManifest;
using Result = AzureTableBackupJob::Result;

namespace {

class BackupJobTest : public backup_test::ServiceTest {
protected:
    AzureTableBackupJobOptions options() {
        AzureTableBackupJobOptions o;
        o.folder = folder + "/t1";
        o.table = "t1";
        o.toTime = 1700000000;
        o.chunkSizeBytes = 3000;
        o.bufferCapacity = 256;
        o.commitPolicy.pages = 2;
        o.commitPolicy.milliseconds = 0;
        return o;
    }
    BackupManifest manifest() {
        std::ifstream in(folder + "/t1/backup.json");
        std::stringstream text;
        text << in.rdbuf();
        BackupManifest m;
        std::string error;
        EXPECT_TRUE(BackupManifest::fromJson(text.str(), m, error)) << error;
        return m;
    }
    std::string manifestText() {
        std::ifstream in(folder + "/t1/backup.json");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

}  // namespace

TEST_F(BackupJobTest, AFullBackupStoresEveryEntityOnceAndASecondRunChangesNothing) {
    service.fill(95);
    std::string message;
    {
        AzureTableBackupJob job(credentials, options());  // holds the folder's lock while it lives
        ASSERT_EQ(job.run(message), Result::Complete) << message;
        EXPECT_EQ(storedLines(folder + "/t1"), service.expectedLines());
        BackupManifest m = manifest();
        EXPECT_EQ(m.pages, 10u);
        EXPECT_EQ(m.toTime, 1700000000);
        EXPECT_GT(m.chunks.size(), 2u);
        EXPECT_EQ(job.progress()->entities.load(), 95u);
    }

    std::string before = manifestText();
    transport->clearRequests();
    AzureTableBackupJob again(credentials, options());
    EXPECT_EQ(again.run(message), Result::AlreadyComplete);
    EXPECT_NE(message.find("already complete"), std::string::npos);
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_EQ(manifestText(), before);
}

TEST_F(BackupJobTest, AStoppedBackupResumesWithoutLosingOrRepeatingAnEntity) {
    service.fill(95);
    std::string message;
    AzureTableBackupJobOptions o = options();
    AzureTableBackupJob* running = nullptr;
    o.onPage = [&](uint64_t pages, platform::store::BackupDataOutput&) {
        if (pages == 3) running->requestStop();
    };
    {
        AzureTableBackupJob job(credentials, o);
        running = &job;
        ASSERT_EQ(job.run(message), Result::Stopped) << message;
    }
    EXPECT_NE(message.find("run the same backup again"), std::string::npos);
    BackupManifest stopped = manifest();
    EXPECT_FALSE(stopped.complete);
    EXPECT_LT(stopped.pages, 10u);
    EXPECT_GE(stopped.pages, 3u);

    transport->clearRequests();
    AzureTableBackupJob resumed(credentials, options());
    ASSERT_EQ(resumed.run(message), Result::Complete) << message;
    EXPECT_EQ(storedLines(folder + "/t1"), service.expectedLines());
    EXPECT_EQ(queryUrls().size(), 10u - stopped.pages);  // no page fetched twice
}

TEST_F(BackupJobTest, AFailedPageKeepsTheStoredPagesAndTheNextRunFinishes) {
    service.fill(95);
    service.failQueryNumber(4);
    std::string message;
    {
        AzureTableBackupJob job(credentials, options());
        ASSERT_EQ(job.run(message), Result::Failed);
    }
    EXPECT_EQ(message, "scanToStream failed for t1");
    EXPECT_EQ(manifest().pages, 3u);

    service.reset();
    transport->clearRequests();
    AzureTableBackupJob again(credentials, options());
    ASSERT_EQ(again.run(message), Result::Complete) << message;
    EXPECT_EQ(queryUrls().size(), 7u);
    EXPECT_EQ(storedLines(folder + "/t1"), service.expectedLines());
}

TEST_F(BackupJobTest, ADiskFaultFailsTheBackupWithTheStoreMessage) {
    service.fill(95);
    for (int n : {3, 6, 9}) {
        SCOPED_TRACE(n);
        std::system(("rm -rf '" + folder + "/t1'").c_str());
        testing_support::FaultyFileSystem fs;
        fs.failSyncNumber(n + 4);  // past the folder's set-up and the description
        AzureTableBackupJobOptions o = options();
        o.fileSystem = &fs;
        std::string message;
        {
            AzureTableBackupJob job(credentials, o);
            ASSERT_EQ(job.run(message), Result::Failed);
        }
        EXPECT_NE(message.find("cannot"), std::string::npos) << message;
        fs.dropUnsyncedData();

        AzureTableBackupJob again(credentials, options());
        ASSERT_EQ(again.run(message), Result::Complete) << message;
        EXPECT_EQ(storedLines(folder + "/t1"), service.expectedLines());
    }
}

TEST_F(BackupJobTest, RefusesAFolderOfAnotherTableAndReportsADescribeFailure) {
    service.fill(5);
    std::string message;
    {
        AzureTableBackupJob first(credentials, options());
        ASSERT_EQ(first.run(message), Result::Complete);
    }
    AzureTableBackupJobOptions other = options();
    other.table = "t2";
    AzureTableBackupJob refused(credentials, other);
    EXPECT_EQ(refused.run(message), Result::Refused);
    EXPECT_NE(message.find("holds a backup of table 't1'"), std::string::npos) << message;

    transport->reply(404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}");
    AzureTableBackupJobOptions fresh = options();
    fresh.folder = folder + "/t1-again";
    AzureTableBackupJob missing(credentials, fresh);
    EXPECT_EQ(missing.run(message), Result::Failed);
    EXPECT_EQ(message, "Describe failed 4 for table t1");
}
