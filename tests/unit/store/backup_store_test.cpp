#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <thread>

#include "support/BackupFolder.h"
#include "StoreTestUtil.h"
#include "platform/ida/IdaBufferedOutput.h"
#include "platform/store/BackupJobEnvironment.h"
#include "platform/store/BackupReader.h"
#include "platform/store/BackupStoreConsumer.h"
#include "platform/store/RestoreEnvironment.h"
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

void writeDescription(IdaEnvironment& env, const std::string& text) {
    auto out = env.createDescriptionOutput();
    ASSERT_TRUE(out->putString(text));
    ASSERT_TRUE(out->close(""));
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
            writeDescription(job.env, "{\"table\":{\"TableName\":\"t1\"}}");
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

        {
            Job again(dir.path(), 300);
            ASSERT_EQ(again.open(), BackupJobEnvironment::State::Resume) << again.message;
            EXPECT_EQ(again.env.resumeRestart(), m.restart);
            // The resumed run describes the table anew; the manifest follows the new file.
            writeDescription(again.env, "{\"table\":{\"TableName\":\"t1\",\"more\":1}}");
            ASSERT_TRUE(writePages(again.data(), resumeAt, pages, pages));
            ASSERT_TRUE(again.data().close(":"));
        }
        EXPECT_EQ(readBack(dir.path()), allLines(pages));
        RestoreEnvironment restore(dir.path());
        std::string error;
        EXPECT_TRUE(restore.verify(error)) << error;
        EXPECT_TRUE(restore.hasChecksums());
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
    dir.write("data-000002.jsonl", "{\"torn\":");  // a chunk opened but never listed
    dir.write("backup.json.tmp.1.1", "{");         // a replacement that never happened

    Job again(dir.path());
    ASSERT_EQ(again.open(), BackupJobEnvironment::State::Resume) << again.message;
    EXPECT_NE(again.message.find("after 3 pages"), std::string::npos) << again.message;
    EXPECT_EQ(dir.read("data-000001.jsonl").size(), before.chunks[0].bytes);
    EXPECT_FALSE(posixFileSystem().exists(dir.file("data-000002.jsonl")));
    EXPECT_FALSE(posixFileSystem().exists(dir.file("backup.json.tmp.1.1")));
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
    {
        // A finished backup's description is not rewritten behind its manifest's back.
        Job done(dir.path());
        ASSERT_EQ(done.open(), BackupJobEnvironment::State::Complete);
        auto out = done.env.createDescriptionOutput();
        out->putString("{\"table\":{}}");
        EXPECT_FALSE(out->close(""));
        EXPECT_FALSE(posixFileSystem().exists(dir.file("description.json")));
    }
    // Each environment is gone before the next opens: they would hold the folder's lock.
    auto open = [&](long long toTime, const std::string& table, bool keep, bool bounded, long long* kept = nullptr) {
        Job job(dir.path(), 1 << 20, posixFileSystem(), toTime, table);
        job.env.setBounded(bounded);
        auto state = job.env.open(job.message, keep);
        if (kept) *kept = job.env.toTime();
        return std::make_pair(state, job.message);
    };
    auto same = open(1700000000, "t1", false, true);
    EXPECT_EQ(same.first, BackupJobEnvironment::State::Complete);
    EXPECT_NE(same.second.find("already complete"), std::string::npos);
    auto otherTable = open(1700000000, "t2", false, true);
    EXPECT_EQ(otherTable.first, BackupJobEnvironment::State::Refused);
    EXPECT_NE(otherTable.second.find("holds a backup of table 't1'"), std::string::npos) << otherTable.second;
    EXPECT_EQ(open(1800000000, "t1", false, true).first, BackupJobEnvironment::State::Refused);
    long long kept = 0;
    EXPECT_EQ(open(1800000000, "t1", true, true, &kept).first, BackupJobEnvironment::State::Complete);
    EXPECT_EQ(kept, 1700000000);
    // A scan without an upper bound is another backup, unless the stored one is kept.
    auto unbounded = open(1700000000, "t1", false, false);
    EXPECT_EQ(unbounded.first, BackupJobEnvironment::State::Refused);
    EXPECT_NE(unbounded.second.find("without an upper bound"), std::string::npos) << unbounded.second;
    EXPECT_EQ(open(1800000000, "t1", true, false, &kept).first, BackupJobEnvironment::State::Complete);
    EXPECT_EQ(dir.read("backup.json"), manifest);

    // A restart string that names no page cannot be resumed without repeating entities.
    BackupManifest m = store_test::readManifest(dir.path());
    m.complete = false;
    m.restart = "a:b:c";
    dir.write("backup.json", m.toJson());
    auto tampered = open(1700000000, "t1", false, true);
    EXPECT_EQ(tampered.first, BackupJobEnvironment::State::Refused);
    EXPECT_NE(tampered.second.find("not a page position"), std::string::npos) << tampered.second;

    // Every page stored but the final mark missing: completed without scanning again.
    m.restart = ":";
    dir.write("backup.json", m.toJson());
    EXPECT_EQ(open(1700000000, "t1", false, true).first, BackupJobEnvironment::State::Complete);
    EXPECT_TRUE(store_test::readManifest(dir.path()).complete);
    EXPECT_EQ(readBack(dir.path()), allLines(2));

    // Chunk files without a manifest are not overwritten by a new backup.
    TempFolder orphan;
    orphan.write("data-000001.jsonl", pageData(0));
    Job fresh(orphan.path());
    EXPECT_EQ(fresh.open(), BackupJobEnvironment::State::Refused);
    EXPECT_NE(fresh.message.find("holds data-000001.jsonl but no backup.json"), std::string::npos) << fresh.message;
    EXPECT_EQ(orphan.read("data-000001.jsonl"), pageData(0));
}

TEST(BackupStore, TheFolderLockKeepsOneWriterAndLetsReadersShare) {
    const std::string pid = std::to_string(static_cast<long long>(::getpid()));
    TempFolder dir;
    dir.write("backup.lock", "99999\n");  // left by a process that died: never blocks
    auto first = std::make_unique<Job>(dir.path());
    ASSERT_EQ(first->open(), BackupJobEnvironment::State::Fresh) << first->message;
    EXPECT_EQ(dir.read("backup.lock"), pid + "\n");
    {
        Job second(dir.path());
        EXPECT_EQ(second.open(), BackupJobEnvironment::State::Refused);
        EXPECT_NE(second.message.find("is in use by process " + pid), std::string::npos) << second.message;
        RestoreEnvironment reader(dir.path());
        std::string error;
        EXPECT_FALSE(reader.open(error));
        EXPECT_NE(error.find("is in use by process " + pid + " (a backup is writing it)"), std::string::npos) << error;
    }
    ASSERT_TRUE(writePages(first->data(), 0, 2, 2));
    ASSERT_TRUE(first->data().close(":"));
    first.reset();  // releases the folder

    RestoreEnvironment reader(dir.path()), another(dir.path());
    std::string error;
    ASSERT_TRUE(reader.open(error)) << error;
    ASSERT_TRUE(another.open(error)) << error;  // readers share the folder
    Job writer(dir.path());
    EXPECT_EQ(writer.open(), BackupJobEnvironment::State::Refused);
    EXPECT_NE(writer.message.find("is in use by process " + pid + " (a restore is reading it)"), std::string::npos)
        << writer.message;
}

TEST(BackupStore, TempFilesAreUniqueAndAFailedReplacementLeavesNone) {
    TempFolder dir;
    FaultyFileSystem fs;
    std::string error;
    ASSERT_TRUE(writeFileDurably(fs, dir.file("backup.json"), "one", error)) << error;
    ASSERT_TRUE(writeFileDurably(fs, dir.file("backup.json"), "two", error)) << error;
    auto temps = fs.truncatedPaths();
    ASSERT_EQ(temps.size(), 2u);
    EXPECT_NE(temps[0], temps[1]);
    EXPECT_NE(temps[0].find(".tmp." + std::to_string(static_cast<long long>(::getpid())) + "."), std::string::npos);

    for (int fault = 0; fault < 2; ++fault) {
        if (fault == 0) fs.failWriteNumber(1); else fs.failSyncNumber(1);
        EXPECT_FALSE(writeFileDurably(fs, dir.file("backup.json"), "three", error));
        EXPECT_FALSE(fs.exists(fs.truncatedPaths().back())) << fault;
    }
    EXPECT_EQ(dir.read("backup.json"), "two");
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
