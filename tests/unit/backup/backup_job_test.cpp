#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

#include "RunnerFixture.h"
#include "backup/AzureTableBackupJob.h"
#include "platform/store/BackupReader.h"
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
        BackupManifest m;
        std::string error;
        EXPECT_TRUE(BackupManifest::fromJson(temp.read("t1/backup.json"), m, error)) << error;
        return m;
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
        EXPECT_EQ(manifest().pages, 10u);
        EXPECT_GT(manifest().chunks.size(), 2u);
    }
    std::string before = temp.read("t1/backup.json");
    transport->clearRequests();
    AzureTableBackupJob again(credentials, options());
    EXPECT_EQ(again.run(message), Result::AlreadyComplete);
    EXPECT_NE(message.find("already complete"), std::string::npos);
    EXPECT_EQ(transport->requestCount(), 1u);  // the describe that checks the table and key
    EXPECT_EQ(temp.read("t1/backup.json"), before);
}

// Without an upper bound the scan filters nothing above, so entities written around the start
// (in the current second, or while the scan runs) are not lost, and the bound for the next
// incremental backup comes from the service's clock, pinned by the run that claimed the folder.
TEST_F(BackupJobTest, AStoppedBackupResumesWithoutLosingOrRepeatingAnEntityBoundedOrNot) {
    service.fill(95);
    // A user's bound; none (the service's clock less the margin); none with a bound pinned by
    // the caller, which is recorded while the scan stays unfiltered.
    const struct { long long toTime, recorded; } cases[] = {{1700000000, 0}, {0, 0}, {0, 1799990000}};
    for (const auto& c : cases) {
        const long long toTime = c.toTime;
        SCOPED_TRACE(std::to_string(toTime) + " " + std::to_string(c.recorded));
        service.serviceClock = 1800000000;
        std::system(("rm -rf '" + folder + "/t1'").c_str());
        AzureTableBackupJobOptions o = options();
        o.toTime = toTime;
        o.recordedToTime = c.recorded;
        AzureTableBackupJob* running = nullptr;
        o.onPage = [&](uint64_t pages, platform::store::BackupDataOutput&) { if (pages == 3) running->requestStop(); };
        std::string message;
        {
            AzureTableBackupJob job(credentials, o);
            running = &job;
            ASSERT_EQ(job.run(message), Result::Stopped) << message;
        }
        EXPECT_NE(message.find("run the same backup again"), std::string::npos);
        const BackupManifest stopped = manifest();
        EXPECT_FALSE(stopped.complete);
        EXPECT_TRUE(stopped.pages >= 3u && stopped.pages < 10u) << stopped.pages;
        const long long bound = toTime ? toTime : c.recorded ? c.recorded : 1800000000 - AzureTableBackupJob::kBoundMarginSeconds;
        EXPECT_EQ(stopped.toTime, bound);
        EXPECT_EQ(stopped.bounded, toTime != 0);

        service.serviceClock += 600;  // the resumed run keeps the bound of the first one
        transport->clearRequests();
        o.onPage = nullptr;
        AzureTableBackupJob resumed(credentials, o);
        ASSERT_EQ(resumed.run(message), Result::Complete) << message;
        EXPECT_EQ(manifest().toTime, bound);
        EXPECT_EQ(storedLines(folder + "/t1"), service.expectedLines());
        EXPECT_EQ(queryUrls().size(), 10u - stopped.pages);  // no page fetched twice
        for (const auto& url : queryUrls()) EXPECT_EQ(url.find("Timestamp%20le") == std::string::npos, toTime == 0) << url;
    }
}

// A failed page or a disk fault fails the run with its message and keeps the pages stored whole
// before it; the next run fetches only the pages after them and finishes.
TEST_F(BackupJobTest, AFailedPageOrDiskFaultKeepsTheStoredPagesAndTheNextRunFinishes) {
    service.fill(95);
    for (int sync : {0, 7, 10, 13}) {  // 0: the fourth page fails; else that fsync (past the set-up)
        SCOPED_TRACE(sync);
        std::system(("rm -rf '" + folder + "/t1'").c_str());
        testing_support::FaultyFileSystem fs;
        AzureTableBackupJobOptions o = options();
        o.fileSystem = &fs;
        if (sync) fs.failSyncNumber(sync); else service.failQueryNumber(4);
        std::string message;
        ASSERT_EQ(AzureTableBackupJob(credentials, o).run(message), Result::Failed);  // its lock goes with it
        EXPECT_TRUE(sync ? message.find("cannot") != std::string::npos : message == "scanToStream failed for t1") << message;
        fs.dropUnsyncedData();
        const uint64_t stored = manifest().pages;
        EXPECT_TRUE(sync || stored == 3u) << stored;

        service.reset();
        transport->clearRequests();
        AzureTableBackupJob again(credentials, options());
        ASSERT_EQ(again.run(message), Result::Complete) << message;
        EXPECT_EQ(queryUrls().size(), 10u - stored);
        EXPECT_EQ(storedLines(folder + "/t1"), service.expectedLines());
    }
}

// A key set is listed after the scan and recorded only once whole: a failed listing page or a
// failed fsync leaves the backup complete without one, and the next run lists the keys (and
// only them) again.
TEST_F(BackupJobTest, AKeySetIsRecordedOnlyWholeAndAFailedListingIsTakenAgain) {
    service.fill(95);
    for (bool sync : {false, true}) {  // the first key page fails; the key set's fsync fails
        SCOPED_TRACE(sync);
        std::system(("rm -rf '" + folder + "/t1'").c_str());
        service.reset();
        testing_support::FaultyFileSystem fs;
        AzureTableBackupJobOptions o = options();
        o.keySet = true;
        o.fileSystem = &fs;
        if (sync) {  // a folder complete without a key set gets one from the next run
            std::string message;
            AzureTableBackupJobOptions plain = options();
            ASSERT_EQ(AzureTableBackupJob(credentials, plain).run(message), Result::Complete) << message;
            service.reset();
            fs.failSyncNumber(1);
        } else {
            service.failQueryNumber(11);
        }
        std::string message;
        ASSERT_EQ(AzureTableBackupJob(credentials, o).run(message), Result::Failed) << message;
        EXPECT_TRUE(manifest().complete);
        EXPECT_FALSE(manifest().hasKeySet());
        EXPECT_NE(::access(temp.file("t1/keys.jsonl").c_str(), F_OK), 0);

        service.reset();
        transport->clearRequests();
        o.fileSystem = nullptr;
        ASSERT_EQ(AzureTableBackupJob(credentials, o).run(message), Result::Complete) << message;
        ASSERT_TRUE(manifest().hasKeySet());
        EXPECT_EQ(manifest().keySet.lines, 95u);
        EXPECT_EQ(queryUrls().size(), 10u);  // the keys' pages only
        for (const auto& url : queryUrls()) EXPECT_NE(url.find("$select=PartitionKey%2CRowKey"), std::string::npos) << url;
        std::string error;
        auto reader = platform::store::BackupReader::open(folder + "/t1", error);
        ASSERT_TRUE(reader) << error;
        EXPECT_TRUE(reader->verify(error)) << error;
    }
}

// A table that cannot be described, or a key the service refuses, claims no folder, so the next
// run backs up everything. Folders of other backups are refused by the store (backup_store_test).
TEST_F(BackupJobTest, ADescribeFailureClaimsNothing) {
    service.fill(95);
    const std::pair<int, const char*> replies[] = {{404, "ResourceNotFound"}, {403, "AuthenticationFailed"}};
    for (const auto& reply : replies) {
        SCOPED_TRACE(reply.second);
        AzureTableBackupJobOptions o = options();
        o.folder = folder + "/" + reply.second;
        o.toTime = 0;
        std::string message;
        transport->reply(reply.first, std::string("{\"odata.error\":{\"code\":\"") + reply.second + "\"}}");
        AzureTableBackupJob refused(credentials, o);
        EXPECT_EQ(refused.run(message), Result::Failed);
        EXPECT_NE(refused.serviceError().find(reply.second), std::string::npos);
        EXPECT_FALSE(testing_support::pathExists(o.folder));
        AzureTableBackupJob again(credentials, o);
        ASSERT_EQ(again.run(message), Result::Complete) << message;
    }
}

TEST_F(BackupJobTest, BoundsThatCannotHoldAnyChangeAreRefusedBeforeTheFolderIsClaimed) {
    service.fill(5);
    // --since in the future, --until in the future, no clock to pin the bound.
    const struct { long long fromTime, toTime, clock; const char* says; } cases[] = {
        {1800000100, 0, 1800000000, "not in the past"}, {0, 1800000100, 1800000000, "lies in the future"},
        {0, 0, 0, "no Date header"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        service.serviceClock = c.clock;
        AzureTableBackupJobOptions o = options();
        o.incremental = c.fromTime > 0;
        o.fromTime = c.fromTime;
        o.toTime = c.toTime;
        std::string message;
        AzureTableBackupJob job(credentials, o);
        EXPECT_EQ(job.run(message), Result::Refused);
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_FALSE(testing_support::pathExists(o.folder));
    }
}

// Two jobs in one process on two runtimes: each reaches only its own transport, sleeper and
// debug log, and a stop requested on one runtime stops only the job that runs on it.
TEST_F(BackupJobTest, TwoJobsOnTwoRuntimesUseOnlyTheirOwnPartsAndStopApart) {
    struct Side {
        platform::Runtime runtime;
        testing_support::FakeTransportScope transport{runtime};
        testing_support::FakeSleeperScope sleeper{runtime};
        testing_support::FakeTableService service{*transport};
        AzureTableCredentials credentials;
        AzureTableBackupJobOptions options;
        std::string name, message;
        Result result = Result::Failed;
    } sides[2];
    for (int i = 0; i < 2; ++i) {
        Side& s = sides[i];
        s.name = i ? "b" : "a";
        s.service.fill(95);
        s.credentials = credentials;
        s.credentials.accountUrl = "https://" + s.name + ".table.core.windows.net";
        s.options = options();
        s.options.folder = folder + "/" + s.name;
        s.options.runtime = &s.runtime;
        s.runtime.log().setFile(folder + "/" + s.name + ".log");
        for (int n = 0; n <= i; ++n) s.transport->reply(503);  // each retry pauses on its own sleeper
    }
    Side& b = sides[1];
    b.options.onPage = [&b](uint64_t n, platform::store::BackupDataOutput&) { if (n == 3) b.runtime.stopToken().requestStop(); };
    std::vector<std::thread> threads;
    for (Side& s : sides)
        threads.emplace_back([&s] { s.result = AzureTableBackupJob(s.credentials, s.options).run(s.message); });
    for (auto& t : threads) t.join();

    EXPECT_EQ(sides[0].result, Result::Complete) << sides[0].message;
    EXPECT_EQ(storedLines(sides[0].options.folder), sides[0].service.expectedLines());
    EXPECT_EQ(b.result, Result::Stopped) << b.message;
    EXPECT_FALSE(platform::defaultRuntime().stopRequested());
    for (int i = 0; i < 2; ++i) {
        Side& s = sides[i];
        SCOPED_TRACE(s.name);
        ASSERT_GT(s.transport->requestCount(), 3u);
        for (const auto& r : s.transport->requests()) EXPECT_EQ(r.url.find(s.credentials.accountUrl), 0u) << r.url;
        EXPECT_EQ(s.sleeper->sleeps().size(), static_cast<size_t>(i + 1));
        const std::string log = temp.read(s.name + ".log");
        EXPECT_NE(log.find(s.credentials.accountUrl), std::string::npos);
        EXPECT_EQ(log.find(sides[1 - i].credentials.accountUrl), std::string::npos);
    }
    EXPECT_EQ(transport->requestCount(), 0u);  // the default runtime's transport saw nothing
    EXPECT_TRUE(sleeper->sleeps().empty());
    EXPECT_LT(b.transport->requestCount(), sides[0].transport->requestCount());
}
