// The reader's own checks (checksums, sizes, line counts, torn tails) are tested with the reader;
// here that the restore environment streams through them, fails its input on any of them, and
// verifies the whole folder before a line is handed out.
#include <gtest/gtest.h>

#include "platform/store/RestoreEnvironment.h"
#include "support/BackupFolder.h"

using platform::store::RestoreEnvironment;
using testing_support::BackupFolder;

namespace {

std::string numbered(const std::string& prefix, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "{\"PartitionKey\":\"" + prefix + "\",\"RowKey\":\"" + std::to_string(i) + "\"}\n";
    return text;
}

std::string readAll(IdaInput& input) {
    std::string text, line;
    while (input.getLine(line)) text += line + "\n";
    return text;
}

}  // namespace

TEST(RestoreEnvironment, StreamsEveryChunkInOrderAndServesDescriptionAndMetadata) {
    BackupFolder folder;
    folder.manifest.incremental = true;
    folder.manifest.fromTime = 100;
    folder.addChunk(numbered("a", 500));
    folder.addChunk("");
    folder.addChunk(numbered("c", 700));
    folder.finish("{\"table\":{\"TableName\":\"src\",\"odata.metadata\":\"m\"}}");
    RestoreEnvironment env(folder.path());
    env.setReadAheadBytes(1024);  // many waits between the feeder and the reader
    std::string text;
    ASSERT_TRUE(env.createDescriptionInput()->getContents(text));
    EXPECT_EQ(text, "{\"table\":{\"TableName\":\"src\",\"odata.metadata\":\"m\"}}");
    ASSERT_TRUE(env.createMetadataInput()->getContents(text));
    EXPECT_EQ(text, folder.manifest.metadataJson());
    auto input = env.createInput("src", false);
    EXPECT_EQ(readAll(*input), numbered("a", 500) + numbered("c", 700));
    EXPECT_FALSE(input->error());
    EXPECT_EQ(env.linesDelivered(), 1200u);
    EXPECT_FALSE(env.hasFailed());
    EXPECT_EQ(env.createOutput("x", true), nullptr);
}

TEST(RestoreEnvironment, ADamagedChunkFailsTheInputAndNoneOfItsLinesIsHandedOut) {
    BackupFolder folder;
    for (const char* prefix : {"a", "b", "c"}) folder.addChunk(numbered(prefix, 100));
    folder.finish();
    folder.corrupt("data-000002.jsonl", 1000);
    RestoreEnvironment env(folder.path());
    auto input = env.createInput("src", false);
    EXPECT_EQ(readAll(*input), numbered("a", 100));
    EXPECT_TRUE(input->error());
    EXPECT_EQ(env.failureMessage(), "Backup " + folder.path() + ": chunk data-000002.jsonl is damaged (checksum mismatch)");
}

TEST(RestoreEnvironment, AnUnfinishedOrMissingBackupIsNeverReplayed) {
    BackupFolder unfinished, empty;
    unfinished.addChunk(numbered("a", 10));
    unfinished.manifest.complete = false;
    unfinished.manifest.restart = "a:10";
    unfinished.finish();
    for (BackupFolder* folder : {&unfinished, &empty}) {
        RestoreEnvironment env(folder->path());
        std::string error;
        EXPECT_FALSE(env.verify(error));
        EXPECT_NE(error.find(folder == &empty ? folder->path() : "did not finish"), std::string::npos) << error;
        auto input = env.createInput("src", false);
        EXPECT_EQ(readAll(*input), "");
        EXPECT_TRUE(input->error());
        EXPECT_TRUE(env.hasFailed());
    }
}

TEST(RestoreEnvironment, AReaderThatStopsEarlyReleasesTheFeeder) {
    BackupFolder folder;
    folder.addChunk(numbered("a", 20000));
    folder.finish();
    RestoreEnvironment env(folder.path());
    env.setReadAheadBytes(4096);
    auto input = env.createInput("src", false);
    std::string line;
    ASSERT_TRUE(input->getLine(line));
    input.reset();  // must not hang on the feeder blocked on a full buffer
}

TEST(RestoreEnvironment, VerifyChecksTheWholeBackupBeforeAnythingIsRestored) {
    BackupFolder folder;
    for (const char* prefix : {"a", "b", "c"}) folder.addChunk(numbered(prefix, 1000));
    folder.finish();
    {
        RestoreEnvironment env(folder.path());
        std::string error;
        ASSERT_TRUE(env.verify(error)) << error;
        EXPECT_EQ(env.verifiedBytes(), folder.manifest.totalBytes());
    }
    // The fault once seen: the last chunk's entry removed, its file left; nothing may be replayed.
    folder.manifest.chunks.pop_back();
    folder.finish();
    RestoreEnvironment env(folder.path());
    std::string error;
    EXPECT_FALSE(env.open(error));
    EXPECT_NE(error.find("data-000003.jsonl, which backup.json does not list"), std::string::npos) << error;
    auto input = env.createInput("src", false);
    EXPECT_EQ(readAll(*input), "");
    EXPECT_TRUE(input->error());
}
