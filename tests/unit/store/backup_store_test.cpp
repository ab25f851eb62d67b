#include <gtest/gtest.h>

#include <thread>

#include "support/BackupFolder.h"
#include "StoreTestUtil.h"
#include "platform/ida/IdaBufferedOutput.h"
#include "platform/store/BackupJobEnvironment.h"
#include "platform/store/BackupReader.h"
#include "platform/store/BackupStoreConsumer.h"
#include "support/FaultyFileSystem.h"

using namespace platform::store;
using testing_support::TempFolder;
using testing_support::FaultyFileSystem;

namespace {

constexpr int kLinesPerPage = 3;

std::string pageData(int page) {
    std::string data;
    for (int j = 0; j < kLinesPerPage; ++j)
        data += "{\"PartitionKey\":\"p\",\"RowKey\":\"r" + std::to_string(page) + "-" + std::to_string(j) + "\"}\n";
    return data;
}

// The restart string after `page`: where page + 1 starts, "" after the last page.
std::string restartAfter(int page, int pages) { return page + 1 == pages ? "" : "pk:" + std::to_string(page + 1); }

// The page a restart string points at.
int pageOf(const std::string& restart) { return restart.empty() ? 0 : std::stoi(restart.substr(3)); }

std::vector<std::string> allLines(int pages) {
    std::vector<std::string> lines;
    for (int p = 0; p < pages; ++p) {
        std::string data = pageData(p);
        size_t start = 0, end;
        while ((end = data.find('\n', start)) != std::string::npos) {
            lines.push_back(data.substr(start, end - start));
            start = end + 1;
        }
    }
    return lines;
}

std::vector<std::string> readBack(const std::string& folder, bool allowIncomplete = false) {
    return testing_support::readBackupLines(folder, allowIncomplete);
}

// Writes pages [from, to) of a `pages`-page table; false as soon as the output refuses.
bool writePages(IdaOutput& out, int from, int to, int pages) {
    for (int p = from; p < to; ++p) {
        if (!out.putString(pageData(p))) return false;
        out.updateRestart(restartAfter(p, pages));
    }
    return true;
}

struct Job {
    explicit Job(const std::string& folder, uint64_t chunkSize = 1 << 20, FileSystem& fs = posixFileSystem(),
                 long long toTime = 1700000000, const std::string& table = "t1")
        : env(folder, "acct", table, false, 0, toTime, chunkSize, fs) {}
    BackupJobEnvironment::State open() { return env.open(message); }
    BackupDataOutput& data() { return *env.dataOutput(); }
    BackupJobEnvironment env;
    std::string message;
};

CommitPolicy everyPages(uint64_t pages) {
    CommitPolicy policy;
    policy.pages = pages;
    policy.bytes = uint64_t(1) << 40;
    policy.milliseconds = 0;
    return policy;
}

}  // namespace

TEST(BackupStore, ChunksAreCutAtPageBoundariesAndReadBackInOrder) {
    TempFolder dir;
    const int pages = 5;
    const size_t pageBytes = pageData(0).size();
    Job job(dir.path(), pageBytes + 1);  // a chunk fills up during its second page
    ASSERT_EQ(job.open(), BackupJobEnvironment::State::Fresh) << job.message;
    ASSERT_TRUE(writePages(job.data(), 0, pages, pages));
    ASSERT_TRUE(job.data().close(":"));
    EXPECT_FALSE(job.env.hasFailed());

    BackupManifest m = store_test::readManifest(dir.path());
    EXPECT_TRUE(m.complete);
    EXPECT_EQ(m.restart, ":");
    EXPECT_EQ(m.pages, 5u);
    ASSERT_EQ(m.chunks.size(), 3u);
    EXPECT_EQ(m.chunks[0].lines, 6u);
    EXPECT_EQ(m.chunks[2].lines, 3u);
    // Every chunk starts with the first line of a page.
    EXPECT_EQ(dir.read(m.chunks[1].file).substr(0, pageBytes), pageData(2));
    EXPECT_EQ(dir.read("metadata.json"), m.metadataJson());
    EXPECT_EQ(readBack(dir.path()), allLines(pages));
}

TEST(BackupStore, TheManifestFollowsEachDurablePointAndNeverNamesMoreThanTheDisk) {
    TempFolder dir;
    FaultyFileSystem fs;
    Job job(dir.path(), 200, fs);
    job.env.setCommitPolicy(everyPages(2));
    ASSERT_EQ(job.open(), BackupJobEnvironment::State::Fresh);
    const int pages = 9;
    for (int p = 0; p < pages; ++p) {
        ASSERT_TRUE(writePages(job.data(), p, p + 1, pages));
        BackupManifest m = store_test::readManifest(dir.path());
        int durable = (p + 1) / 2 * 2;
        EXPECT_EQ(m.pages, static_cast<uint64_t>(durable)) << p;
        EXPECT_EQ(m.totalLines(), static_cast<uint64_t>(durable * kLinesPerPage)) << p;
        EXPECT_EQ(pageOf(m.restart), durable) << p;
        // A crash now loses only what the manifest does not name.
        for (const auto& c : m.chunks) {
            std::string bytes = dir.read(c.file);
            ASSERT_GE(bytes.size(), c.bytes);
            EXPECT_EQ(crc32c(0, bytes.data(), c.bytes), c.crc32c);
        }
    }
    EXPECT_EQ(job.data().progress().durablePages.load(), 8u);
    ASSERT_TRUE(job.data().close(":"));
    EXPECT_EQ(readBack(dir.path()), allLines(pages));
}

TEST(BackupStore, AFailedWriteOrSyncFailsTheBackupAndTheSameBackupResumesExactly) {
    struct Fault {
        const char* name;
        void (*arm)(FaultyFileSystem&);
        const char* message;
    };
    const Fault faults[] = {
        {"write", [](FaultyFileSystem& fs) { fs.failWriteNumber(5); }, "cannot write"},
        {"torn write", [](FaultyFileSystem& fs) { fs.failWriteNumber(6, true); }, "cannot write"},
        {"fsync #4", [](FaultyFileSystem& fs) { fs.failSyncNumber(4); }, "cannot"},
        {"fsync #5", [](FaultyFileSystem& fs) { fs.failSyncNumber(5); }, "cannot"},
        {"every fsync", [](FaultyFileSystem& fs) { fs.failAllSyncs(true); }, "cannot"},
    };
    const int pages = 12;
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        TempFolder dir;
        {
            FaultyFileSystem fs;
            Job job(dir.path(), 300, fs);
            job.env.setCommitPolicy(everyPages(2));
            ASSERT_EQ(job.open(), BackupJobEnvironment::State::Fresh);
            fault.arm(fs);
            EXPECT_FALSE(writePages(job.data(), 0, pages, pages) && job.data().close(":"));
            EXPECT_TRUE(job.env.hasFailed());
            EXPECT_NE(job.env.failureMessage().find(fault.message), std::string::npos) << job.env.failureMessage();
            EXPECT_FALSE(job.data().putString(pageData(0)));  // refuses everything afterwards
            fs.dropUnsyncedData();                            // and the machine goes down
        }
        // What the manifest names is on disk and intact.
        BackupManifest m = store_test::readManifest(dir.path());
        EXPECT_FALSE(m.complete);
        int resumeAt = pageOf(m.restart);
        EXPECT_EQ(m.totalLines(), static_cast<uint64_t>(resumeAt * kLinesPerPage));
        EXPECT_EQ(readBack(dir.path(), true).size(), m.totalLines());

        Job again(dir.path(), 300);
        ASSERT_EQ(again.open(), BackupJobEnvironment::State::Resume) << again.message;
        EXPECT_EQ(again.env.resumeRestart(), m.restart);
        ASSERT_TRUE(writePages(again.data(), resumeAt, pages, pages));
        ASSERT_TRUE(again.data().close(":"));
        EXPECT_EQ(readBack(dir.path()), allLines(pages));
    }
}

TEST(BackupStore, ResumeCutsAwayATornTailAndContinuesTheLastChunk) {
    TempFolder dir;
    const int pages = 7;
    {
        Job job(dir.path());
        job.env.setCommitPolicy(everyPages(3));
        ASSERT_EQ(job.open(), BackupJobEnvironment::State::Fresh);
        ASSERT_TRUE(writePages(job.data(), 0, 4, pages));  // pages 0-2 durable, page 3 not
        // The process dies here, mid-way through a further page.
        ASSERT_TRUE(job.data().putString(pageData(4).substr(0, 10)));
    }
    BackupManifest before = store_test::readManifest(dir.path());
    ASSERT_EQ(before.chunks.size(), 1u);
    EXPECT_GT(dir.read("data-000001.jsonl").size(), before.chunks[0].bytes);

    Job again(dir.path());
    ASSERT_EQ(again.open(), BackupJobEnvironment::State::Resume) << again.message;
    EXPECT_NE(again.message.find("after 3 pages"), std::string::npos) << again.message;
    EXPECT_EQ(dir.read("data-000001.jsonl").size(), before.chunks[0].bytes);
    EXPECT_EQ(again.data().progress().entities.load(), 9u);
    ASSERT_TRUE(writePages(again.data(), pageOf(again.env.resumeRestart()), pages, pages));
    ASSERT_TRUE(again.data().close(":"));
    BackupManifest after = store_test::readManifest(dir.path());
    EXPECT_EQ(after.chunks.size(), 1u);
    EXPECT_EQ(readBack(dir.path()), allLines(pages));
}

TEST(BackupStore, OpenRefusesOtherBackupsAndLeavesAFinishedOneAlone) {
    TempFolder dir;
    {
        Job job(dir.path());
        ASSERT_EQ(job.open(), BackupJobEnvironment::State::Fresh);
        ASSERT_TRUE(writePages(job.data(), 0, 2, 2));
        ASSERT_TRUE(job.data().close(":"));
    }
    std::string manifest = dir.read("backup.json");

    Job same(dir.path());
    EXPECT_EQ(same.open(), BackupJobEnvironment::State::Complete);
    EXPECT_NE(same.message.find("already complete"), std::string::npos);
    Job otherTable(dir.path(), 1 << 20, posixFileSystem(), 1700000000, "t2");
    EXPECT_EQ(otherTable.open(), BackupJobEnvironment::State::Refused);
    EXPECT_NE(otherTable.message.find("holds a backup of table 't1'"), std::string::npos) << otherTable.message;
    Job otherBound(dir.path(), 1 << 20, posixFileSystem(), 1800000000);
    EXPECT_EQ(otherBound.open(), BackupJobEnvironment::State::Refused);
    std::string ignored;
    EXPECT_EQ(otherBound.env.open(ignored, true), BackupJobEnvironment::State::Complete);
    EXPECT_EQ(otherBound.env.toTime(), 1700000000);
    EXPECT_EQ(dir.read("backup.json"), manifest);

    // A restart string that names no page cannot be resumed without repeating entities.
    BackupManifest m = store_test::readManifest(dir.path());
    m.complete = false;
    m.restart = "a:b:c";
    dir.write("backup.json", m.toJson());
    Job tampered(dir.path());
    EXPECT_EQ(tampered.open(), BackupJobEnvironment::State::Refused);
    EXPECT_NE(tampered.message.find("not a page position"), std::string::npos) << tampered.message;

    // Every page stored but the final mark missing: completed without scanning again.
    m.restart = ":";
    dir.write("backup.json", m.toJson());
    Job finished(dir.path());
    EXPECT_EQ(finished.open(), BackupJobEnvironment::State::Complete);
    EXPECT_TRUE(store_test::readManifest(dir.path()).complete);
    EXPECT_EQ(readBack(dir.path()), allLines(2));
}

TEST(BackupStore, TheConsumerDrainsABufferedOutputIntoChunksAndAcknowledgesDurability) {
    TempFolder dir;
    const int pages = 40;
    Job job(dir.path(), 250);
    job.env.setCommitPolicy(everyPages(4));
    ASSERT_EQ(job.open(), BackupJobEnvironment::State::Fresh);
    IdaBufferedOutput buffered("t1", &job.env, 64);  // far smaller than a page: the producer waits
    buffered.close("pk:0");
    BackupStoreConsumer consumer(buffered, job.data(), 16);
    std::vector<uint64_t> seen;
    consumer.onPage = [&](uint64_t page) { seen.push_back(page); };
    consumer.start();
    EXPECT_EQ(buffered.getSafeRestartString(), "pk:0");
    ASSERT_TRUE(writePages(buffered, 0, pages, pages));
    buffered.finishProducing();
    ASSERT_TRUE(consumer.join());
    EXPECT_EQ(seen.size(), static_cast<size_t>(pages));
    EXPECT_EQ(buffered.getSafeRestartString(), "");  // the last page is durable
    ASSERT_TRUE(job.data().close(":"));

    BackupManifest m = store_test::readManifest(dir.path());
    EXPECT_GT(m.chunks.size(), 5u);
    for (const auto& c : m.chunks) EXPECT_EQ(c.lines % kLinesPerPage, 0u) << c.file;  // whole pages only
    EXPECT_EQ(readBack(dir.path()), allLines(pages));
}

TEST(BackupStore, AStoreFailureReleasesAndRefusesTheProducer) {
    TempFolder dir;
    FaultyFileSystem fs;
    Job job(dir.path(), 1 << 20, fs);
    job.env.setCommitPolicy(everyPages(1));
    ASSERT_EQ(job.open(), BackupJobEnvironment::State::Fresh);
    fs.failAllSyncs(true);
    IdaBufferedOutput buffered("t1", &job.env, 64);
    BackupStoreConsumer consumer(buffered, job.data(), 16);
    consumer.start();
    bool refused = !writePages(buffered, 0, 100, 100);  // must not hang once the consumer is gone
    buffered.finishProducing();
    EXPECT_FALSE(consumer.join());
    EXPECT_TRUE(refused);
    EXPECT_TRUE(buffered.stopNow());
    EXPECT_TRUE(job.env.hasFailed());
    EXPECT_EQ(buffered.getSafeRestartString(), "");  // nothing was made durable
    EXPECT_EQ(store_test::readManifest(dir.path()).pages, 0u);
}
