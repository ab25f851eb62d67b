#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

#include "platform/ida/IdaBufferedOutput.h"
#include "platform/store/BackupJobEnvironment.h"
#include "platform/store/BackupStoreConsumer.h"
#include "platform/store/RestoreEnvironment.h"
#include "support/BackupFolder.h"
#include "support/FaultyFileSystem.h"

using namespace platform::store;
using testing_support::FaultyFileSystem;
using testing_support::readBackupLines;
using testing_support::TempFolder;
using State = BackupJobEnvironment::State;

namespace {

constexpr int kLinesPerPage = 3;

std::string line(int page, int j) {
    return "{\"PartitionKey\":\"p\",\"RowKey\":\"r" + std::to_string(page) + "-" + std::to_string(j) + "\"}";
}
std::string pageData(int page) {
    std::string data;
    for (int j = 0; j < kLinesPerPage; ++j) data += line(page, j) + "\n";
    return data;
}
std::vector<std::string> allLines(int pages) {
    std::vector<std::string> lines;
    for (int p = 0; p < pages; ++p)
        for (int j = 0; j < kLinesPerPage; ++j) lines.push_back(line(p, j));
    return lines;
}

// Restart strings name the next page ("pk:<n>"), "" after the last one.
int pageOf(const std::string& restart) { return restart.empty() ? 0 : std::stoi(restart.substr(3)); }

// Writes pages [from, to) of a `pages`-page table; false as soon as the output refuses.
bool writePages(IdaOutput& out, int from, int to, int pages) {
    for (int p = from; p < to; ++p) {
        if (!out.putString(pageData(p))) return false;
        out.updateRestart(p + 1 == pages ? "" : "pk:" + std::to_string(p + 1));
    }
    return true;
}

BackupManifest readManifest(const TempFolder& dir) {
    BackupManifest m;
    std::string error;
    EXPECT_TRUE(BackupManifest::fromJson(dir.read("backup.json"), m, error)) << error;
    return m;
}

struct Job {
    explicit Job(const std::string& folder, uint64_t chunkSize = 1 << 20, FileSystem& fs = posixFileSystem(),
                 long long toTime = 1700000000, const std::string& table = "t1")
        : env(folder, "acct", table, false, 0, toTime, chunkSize, fs) {}
    State open() { return env.open(message); }
    BackupDataOutput& data() { return *env.dataOutput(); }
    void commitEvery(uint64_t pages) { env.setCommitPolicy(CommitPolicy{pages, uint64_t(1) << 40, 0}); }
    BackupJobEnvironment env;
    std::string message;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(BackupStore, TheManifestFollowsEachDurablePointAndNeverNamesMoreThanTheDisk) {
    TempFolder dir;
    FaultyFileSystem fs;
    Job job(dir.path(), 200, fs);
    job.commitEvery(2);
    ASSERT_EQ(job.open(), State::Fresh);
    for (int p = 0; p < 9; ++p) {
        ASSERT_TRUE(writePages(job.data(), p, p + 1, 9));
        BackupManifest m = readManifest(dir);
        const int durable = (p + 1) / 2 * 2;
        EXPECT_EQ(m.pages, static_cast<uint64_t>(durable)) << p;
        EXPECT_EQ(m.totalLines(), static_cast<uint64_t>(durable * kLinesPerPage)) << p;
        EXPECT_EQ(pageOf(m.restart), durable) << p;
        for (const auto& c : m.chunks) {  // a crash now loses only what the manifest does not name
            std::string bytes = dir.read(c.file);
            ASSERT_GE(bytes.size(), c.bytes);
            EXPECT_EQ(crc32c(0, bytes.data(), c.bytes), c.crc32c);
        }
    }
    EXPECT_EQ(job.data().progress().durablePages.load(), 8u);
    ASSERT_TRUE(job.data().close(":"));
    EXPECT_EQ(readBackupLines(dir.path()), allLines(9));
}

TEST(BackupStore, AFailedWriteOrSyncFailsTheBackupAndTheSameBackupResumesExactly) {
    const struct {
        const char* name;
        void (*arm)(FaultyFileSystem&);
    } faults[] = {
        {"write", [](FaultyFileSystem& fs) { fs.failWriteNumber(5); }},
        {"torn write", [](FaultyFileSystem& fs) { fs.failWriteNumber(6, true); }},
        {"fsync #4", [](FaultyFileSystem& fs) { fs.failSyncNumber(4); }},
        {"fsync #5", [](FaultyFileSystem& fs) { fs.failSyncNumber(5); }},
        {"every fsync", [](FaultyFileSystem& fs) { fs.failAllSyncs(true); }},
    };
    auto describe = [](Job& job, const std::string& text) {
        auto out = job.env.createDescriptionOutput();
        ASSERT_TRUE(out->putString(text) && out->close(""));
    };
    const int pages = 12;
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        TempFolder dir;
        {
            FaultyFileSystem fs;
            Job job(dir.path(), 300, fs);
            job.commitEvery(2);
            ASSERT_EQ(job.open(), State::Fresh);
            describe(job, "{\"table\":{\"TableName\":\"t1\"}}");
            fault.arm(fs);
            EXPECT_FALSE(writePages(job.data(), 0, pages, pages) && job.data().close(":"));
            EXPECT_TRUE(has(job.env.failureMessage(), "cannot")) << job.env.failureMessage();
            EXPECT_FALSE(job.data().putString(pageData(0)));  // refuses everything afterwards
            fs.dropUnsyncedData();                            // and the machine goes down
        }
        BackupManifest m = readManifest(dir);  // what it names is on disk and intact
        EXPECT_FALSE(m.complete);
        const int resumeAt = pageOf(m.restart);
        EXPECT_EQ(m.totalLines(), static_cast<uint64_t>(resumeAt * kLinesPerPage));
        EXPECT_EQ(readBackupLines(dir.path(), true).size(), m.totalLines());
        {
            Job again(dir.path(), 300);
            ASSERT_EQ(again.open(), State::Resume) << again.message;
            // The resumed run describes the table anew; the manifest follows the new file.
            describe(again, "{\"table\":{\"TableName\":\"t1\",\"more\":1}}");
            ASSERT_TRUE(writePages(again.data(), resumeAt, pages, pages) && again.data().close(":"));
        }
        EXPECT_EQ(readBackupLines(dir.path()), allLines(pages));
        RestoreEnvironment restore(dir.path());
        std::string error;
        EXPECT_TRUE(restore.verify(error)) << error;
        EXPECT_TRUE(restore.hasChecksums());
    }
}

TEST(BackupStore, ResumeCutsAwayATornTailAndContinuesTheLastChunk) {
    TempFolder dir;
    {
        Job job(dir.path());
        job.commitEvery(3);
        ASSERT_EQ(job.open(), State::Fresh);
        ASSERT_TRUE(writePages(job.data(), 0, 4, 7));  // pages 0-2 durable, page 3 not
        ASSERT_TRUE(job.data().putString(pageData(4).substr(0, 10)));  // the process dies mid-page
    }
    BackupManifest before = readManifest(dir);
    ASSERT_EQ(before.chunks.size(), 1u);
    EXPECT_GT(dir.read("data-000001.jsonl").size(), before.chunks[0].bytes);
    dir.write("data-000002.jsonl", "{\"torn\":");  // a chunk opened but never listed
    dir.write("backup.json.tmp.1.1", "{");         // a replacement that never happened

    Job again(dir.path());
    ASSERT_EQ(again.open(), State::Resume) << again.message;
    EXPECT_TRUE(has(again.message, "after 3 pages")) << again.message;
    EXPECT_EQ(dir.read("data-000001.jsonl").size(), before.chunks[0].bytes);
    EXPECT_FALSE(testing_support::pathExists(dir.file("data-000002.jsonl")));
    EXPECT_FALSE(testing_support::pathExists(dir.file("backup.json.tmp.1.1")));
    EXPECT_EQ(again.data().progress().entities.load(), 9u);
    ASSERT_TRUE(writePages(again.data(), pageOf(again.env.resumeRestart()), 7, 7) && again.data().close(":"));
    EXPECT_EQ(readManifest(dir).chunks.size(), 1u);
    EXPECT_EQ(readBackupLines(dir.path()), allLines(7));
}

TEST(BackupStore, OpenRefusesOtherBackupsAndLeavesAFinishedOneAlone) {
    TempFolder dir;
    {
        Job job(dir.path());
        ASSERT_EQ(job.open(), State::Fresh);
        ASSERT_TRUE(writePages(job.data(), 0, 2, 2) && job.data().close(":"));
    }
    const std::string manifest = dir.read("backup.json");
    {
        // A finished backup's description is not rewritten behind its manifest's back.
        Job done(dir.path());
        ASSERT_EQ(done.open(), State::Complete);
        auto out = done.env.createDescriptionOutput();
        out->putString("{\"table\":{}}");
        EXPECT_FALSE(out->close(""));
        EXPECT_FALSE(testing_support::pathExists(dir.file("description.json")));
    }
    // Each case opens with its own environment, gone before the next (it holds the folder's lock).
    const struct {
        long long toTime;
        const char* table;
        bool keep, bounded;
        State state;
        const char* says;
    } cases[] = {
        {1700000000, "t1", false, true, State::Complete, "already complete"},
        {1700000000, "t2", false, true, State::Refused, "holds a backup of table 't1'"},
        {1800000000, "t1", false, true, State::Refused, ""},
        {1800000000, "t1", true, true, State::Complete, ""},  // the stored bound is kept
        {1700000000, "t1", false, false, State::Refused, "without an upper bound"},
        {1800000000, "t1", true, false, State::Complete, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.toTime << c.table << c.keep << c.bounded);
        Job job(dir.path(), 1 << 20, posixFileSystem(), c.toTime, c.table);
        job.env.setBounded(c.bounded);
        EXPECT_EQ(job.env.open(job.message, c.keep), c.state);
        EXPECT_TRUE(has(job.message, c.says)) << job.message;
        if (c.state == State::Complete) { EXPECT_EQ(job.env.toTime(), 1700000000); }
    }
    EXPECT_EQ(dir.read("backup.json"), manifest);

    // A restart string that names no page cannot be resumed without repeating entities; every
    // page stored but the final mark missing is completed without scanning again.
    BackupManifest m = readManifest(dir);
    m.complete = false;
    for (const char* restart : {"a:b:c", ":"}) {
        m.restart = restart;
        dir.write("backup.json", m.toJson());
        Job job(dir.path());
        EXPECT_EQ(job.open(), *restart == ':' ? State::Complete : State::Refused) << restart;
        EXPECT_TRUE(has(job.message, *restart == ':' ? "" : "not a page position")) << job.message;
    }
    EXPECT_TRUE(readManifest(dir).complete);
    EXPECT_EQ(readBackupLines(dir.path()), allLines(2));

    // Chunk files without a manifest are not overwritten by a new backup.
    TempFolder orphan;
    orphan.write("data-000001.jsonl", pageData(0));
    Job fresh(orphan.path());
    EXPECT_EQ(fresh.open(), State::Refused);
    EXPECT_TRUE(has(fresh.message, "holds data-000001.jsonl but no backup.json")) << fresh.message;
    EXPECT_EQ(orphan.read("data-000001.jsonl"), pageData(0));
}

TEST(BackupStore, TheFolderLockKeepsOneWriterAndLetsReadersShare) {
    const std::string inUse = "is in use by process " + std::to_string(static_cast<long long>(::getpid()));
    TempFolder dir;
    dir.write("backup.lock", "99999\n");  // left by a process that died: never blocks
    auto first = std::make_unique<Job>(dir.path());
    ASSERT_EQ(first->open(), State::Fresh) << first->message;
    EXPECT_EQ(dir.read("backup.lock"), std::to_string(static_cast<long long>(::getpid())) + "\n");
    std::string error;
    {
        Job second(dir.path());
        EXPECT_EQ(second.open(), State::Refused);
        EXPECT_TRUE(has(second.message, inUse)) << second.message;
        RestoreEnvironment reader(dir.path());
        EXPECT_FALSE(reader.open(error));
        EXPECT_TRUE(has(error, inUse + " (a backup is writing it)")) << error;
    }
    ASSERT_TRUE(writePages(first->data(), 0, 2, 2) && first->data().close(":"));
    first.reset();  // releases the folder

    RestoreEnvironment reader(dir.path()), another(dir.path());
    ASSERT_TRUE(reader.open(error)) << error;
    ASSERT_TRUE(another.open(error)) << error;  // readers share the folder
    Job writer(dir.path());
    EXPECT_EQ(writer.open(), State::Refused);
    EXPECT_TRUE(has(writer.message, inUse + " (a restore is reading it)")) << writer.message;
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
    EXPECT_TRUE(has(temps[0], ".tmp." + std::to_string(static_cast<long long>(::getpid())) + "."));
    for (int fault = 0; fault < 2; ++fault) {
        if (fault == 0) fs.failWriteNumber(1); else fs.failSyncNumber(1);
        EXPECT_FALSE(writeFileDurably(fs, dir.file("backup.json"), "three", error));
        EXPECT_FALSE(fs.exists(fs.truncatedPaths().back())) << fault;
    }
    EXPECT_EQ(dir.read("backup.json"), "two");
}

TEST(BackupStore, TheConsumerDrainsABufferedOutputIntoChunksAndAcknowledgesDurability) {
    TempFolder dir;
    Job job(dir.path(), 250);
    job.commitEvery(4);
    ASSERT_EQ(job.open(), State::Fresh);
    IdaBufferedOutput buffered("t1", &job.env, 64);  // far smaller than a page: the producer waits
    buffered.close("pk:0");
    BackupStoreConsumer consumer(buffered, job.data(), 16);
    size_t seen = 0;
    consumer.onPage = [&](uint64_t) { ++seen; };
    consumer.start();
    EXPECT_EQ(buffered.getSafeRestartString(), "pk:0");
    ASSERT_TRUE(writePages(buffered, 0, 40, 40));
    buffered.finishProducing();
    ASSERT_TRUE(consumer.join());
    EXPECT_EQ(seen, 40u);
    EXPECT_EQ(buffered.getSafeRestartString(), "");  // the last page is durable
    ASSERT_TRUE(job.data().close(":"));
    BackupManifest m = readManifest(dir);
    EXPECT_GT(m.chunks.size(), 5u);  // chunks cut at whole pages: BackupJobTest.TwoJobsOnTwoRuntimes...
    EXPECT_EQ(readBackupLines(dir.path()), allLines(40));
}
