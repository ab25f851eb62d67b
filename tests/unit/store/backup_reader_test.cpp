// The reader's checks (checksums, sizes, line counts, torn tails, every file of the folder), and
// that the restore environment streams through them and hands out no line they refuse.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "platform/store/BackupReader.h"
#include "platform/store/RestoreEnvironment.h"
#include "support/BackupFolder.h"
#include "support/FaultyFileSystem.h"

using namespace platform::store;
using testing_support::BackupFolder;

namespace {

const char* const kDescription = "{\"table\":{\"TableName\":\"t1\"}}";

std::string numbered(const std::string& prefix, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "{\"PartitionKey\":\"" + prefix + "\",\"RowKey\":\"" + std::to_string(i) + "\",\"n\":1}\n";
    return text;
}

// A finished backup of table t1, one chunk per text; `legacy` writes the manifest as it was
// before checksums and "bounded" were recorded.
void fill(BackupFolder& dir, const std::vector<std::string>& chunks, bool legacy = false) {
    dir.manifest.table = "t1";
    dir.manifest.toTime = 1700000000;
    for (const auto& text : chunks) dir.addChunk(text);
    dir.finish(kDescription);
    if (!legacy) return;
    BackupManifest m = dir.manifest;
    m.descriptionFile = m.metadataFile = FileChecksum();
    std::string text = m.toJson();
    text.erase(text.find(",\"bounded\":true"), 15);
    dir.write("backup.json", text.substr(0, text.find(",\"manifestCrc32c\":")) + "}\n");
}

std::string readAll(BackupReader& reader) {
    std::string text, line;
    while (reader.nextLine(line)) text += line + "\n";
    return text;
}
// The same through nextLines, the lines a read buffer at a time.
std::string readAllInBlocks(BackupReader& reader) {
    std::string text;
    char* lines = nullptr;
    size_t size = 0;
    while (reader.nextLines(lines, size)) text.append(lines, size);
    return text;
}
std::string readAll(IdaInput& input) {
    std::string text, line;
    while (input.getLine(line)) text += line + "\n";
    return text;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(BackupReader, YieldsNoLineOfADamagedTruncatedOrMissingChunk) {
    const struct {
        const char* name;
        void (*damage)(BackupFolder&);
        const char* message;
    } cases[] = {
        {"flipped byte", [](BackupFolder& d) { d.corrupt("data-000002.jsonl", 3); }, "checksum mismatch"},
        {"truncated", [](BackupFolder& d) { d.write("data-000002.jsonl", "{\"b\":1}\n{\"b\""); }, "truncated"},
        {"missing", [](BackupFolder& d) { d.remove("data-000002.jsonl"); }, "missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BackupFolder dir;
        fill(dir, {"{\"a\":1}\n", "{\"b\":1}\n{\"b\":2}\n", "{\"c\":1}\n"});
        c.damage(dir);
        std::string error, line;
        auto reader = BackupReader::open(dir.path(), error);
        ASSERT_TRUE(reader) << error;
        EXPECT_FALSE(reader->verify(error));
        EXPECT_TRUE(has(error, "data-000002.jsonl") && has(error, c.message)) << error;
        EXPECT_EQ(readAll(*reader), "{\"a\":1}\n");
        EXPECT_TRUE(has(reader->errorMessage(), c.message)) << reader->errorMessage();
        EXPECT_FALSE(reader->nextLine(line));  // stays failed
        reader = BackupReader::open(dir.path(), error);
        ASSERT_TRUE(reader) << error;
        EXPECT_EQ(readAllInBlocks(*reader), "{\"a\":1}\n");
        EXPECT_TRUE(has(reader->errorMessage(), c.message)) << reader->errorMessage();
    }
}

// A chunk that changes after its check (same length and line count, still JSON) yields none of
// its lines, whether the check was the reader's own or verify()'s: each segment read for the
// lines is held to the checksum the check found.
TEST(BackupReader, AChunkChangedAfterItsCheckYieldsNoneOfItsLines) {
    for (bool afterVerify : {false, true}) {
        SCOPED_TRACE(afterVerify ? "after verify" : "reader alone");
        BackupFolder dir;
        fill(dir, {numbered("a", 10), numbered("b", 10)});
        std::string changed = numbered("b", 10);
        changed.replace(changed.find("\"n\":1"), 5, "\"n\":2");
        testing_support::FaultyFileSystem fs;
        int opens = 0;
        fs.onOpenRead([&](const std::string& path) {
            if (path.find("data-000002.jsonl") != std::string::npos && ++opens == 2) dir.write("data-000002.jsonl", changed);
        });
        std::string text, error, message;
        if (!afterVerify) {
            auto reader = BackupReader::open(dir.path(), error, fs);
            ASSERT_TRUE(reader) << error;
            text = readAllInBlocks(*reader);
            message = reader->errorMessage();
        } else {
            RestoreEnvironment env(dir.path(), fs);
            ASSERT_TRUE(env.verify(error)) << error;
            auto input = env.createInput("src", false);
            text = readAll(*input);
            EXPECT_TRUE(input->error());
            message = env.failureMessage();
        }
        EXPECT_EQ(text, numbered("a", 10));
        EXPECT_TRUE(has(message, "chunk data-000002.jsonl changed after it was checked")) << message;
    }
}

TEST(BackupReader, ChecksLineCountsAndRefusesUnfinishedOrAbsentBackups) {
    BackupFolder dir;
    std::string error;
    EXPECT_FALSE(BackupReader::open(dir.path(), error));
    EXPECT_TRUE(has(error, "backup.json is missing")) << error;

    dir.manifest.complete = false;
    dir.manifest.restart = "pk:rk";
    fill(dir, {"{\"a\":1}\n"});
    EXPECT_FALSE(BackupReader::open(dir.path(), error));
    EXPECT_TRUE(has(error, "did not finish")) << error;
    auto reader = BackupReader::open(dir.path(), error, posixFileSystem(), true);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(readAll(*reader), "{\"a\":1}\n");

    // A line count that disagrees with its (correctly summed) chunk is refused too.
    dir.manifest.complete = true;
    dir.manifest.chunks[0].lines = 3;
    dir.write("backup.json", dir.manifest.toJson());
    reader = BackupReader::open(dir.path(), error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(readAll(*reader), "");
    EXPECT_TRUE(has(reader->errorMessage(), "3 complete lines")) << reader->errorMessage();
    reader = BackupReader::open(dir.path(), error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(readAllInBlocks(*reader), "");
    EXPECT_TRUE(has(reader->errorMessage(), "3 complete lines")) << reader->errorMessage();

    dir.write("backup.json", "{\"format\":1");
    EXPECT_FALSE(BackupReader::open(dir.path(), error));
    EXPECT_TRUE(has(error, "cannot read")) << error;
}

// Each case damages a sound three-chunk backup; open() or else verify() must refuse it, naming
// the file and what is wrong. Manifest edits keep its checksum right unless the case is about it.
TEST(BackupReader, VerifyFindsEveryKindOfDamageAndNamesTheFile) {
    struct Case {
        const char* name;
        std::function<void(BackupFolder&)> damage;
        bool atOpen;                        // refused by open(), else by verify()
        std::vector<const char*> expected;  // in the error, checksummed folder
        std::vector<const char*> legacy;    // in verify()'s error for a legacy folder; empty: it passes
    };
    auto relist = [](void (*edit)(BackupManifest&)) {
        return [edit](BackupFolder& d) { edit(d.manifest); d.write("backup.json", d.manifest.toJson()); };
    };
    auto put = [](const char* file, std::string text) {
        return [file, text](BackupFolder& d) { d.write(file, text); };
    };
    auto editManifest = [](std::function<std::string(std::string)> edit) {
        return [edit](BackupFolder& d) { d.write("backup.json", edit(d.read("backup.json"))); };
    };
    auto metadata = [](const char* table, const char* kind, const char* toTime) {
        return std::string("{\"account\":\"acct\",\"table\":\"") + table + "\",\"kind\":\"" + kind +
               "\",\"fromTime\":0,\"toTime\":" + toTime;
    };
    const char* const notObject = "metadata.json is not a JSON object";
    const char* const checksum = "does not match the checksum";
    const std::vector<Case> cases = {
        {"last manifest entry removed, file kept", relist([](BackupManifest& m) { m.chunks.pop_back(); }), true,
         {"data-000003.jsonl", "does not list"}, {}},
        {"middle manifest entry removed", relist([](BackupManifest& m) { m.chunks.erase(m.chunks.begin() + 1); }),
         true, {"data-000003.jsonl as chunk 2", "without gaps"}, {}},
        {"chunk file renamed",
         [](BackupFolder& d) { std::rename(d.file("data-000002.jsonl").c_str(), d.file("saved-2.jsonl").c_str()); },
         false, {"data-000002.jsonl is missing"}, {"data-000002.jsonl is missing"}},
        {"unlisted data file", put("data-000004.jsonl", "{}\n"), true, {"data-000004.jsonl", "does not list"}, {}},
        {"manifest edited by hand",
         editManifest([](std::string t) { return t.replace(t.find("\"pages\":3"), 9, "\"pages\":4"); }), true,
         {"backup.json", "does not match its checksum"}, {}},
        {"manifest checksum removed",
         editManifest([](std::string t) { return t.substr(0, t.find(",\"manifestCrc32c\"")) + "}"; }), true,
         {"lacks its checksum"}, {}},
        {"metadata not JSON", put("metadata.json", "not JSON"), false, {"metadata.json", "bytes long"}, {notObject}},
        {"metadata an array", put("metadata.json", "[]"), false, {"metadata.json"}, {notObject}},
        {"metadata of another table", put("metadata.json", metadata("t9", "full", "1700000000}")), false,
         {checksum}, {"metadata.json does not name the manifest's table"}},
        {"metadata of other bounds", put("metadata.json", metadata("t1", "full", "1700000001}")), false, {checksum},
         {"does not name the manifest's toTime"}},
        {"metadata of another kind", put("metadata.json", metadata("t1", "incremental", "1700000000}")), false,
         {"metadata.json"}, {"does not name the manifest's kind"}},
        {"metadata reformatted", put("metadata.json", metadata("t1", "full", "1700000000} ")), false,
         {"metadata.json is", "bytes long; backup.json records"}, {}},
        {"description not JSON", put("description.json", "not JSON at all, really not."), false,
         {"description.json does not match the checksum"}, {"description.json is not a JSON object"}},
        {"description without table", put("description.json", "{\"tablet\":{\"TableName\":\"t1\"}}"), false,
         {"description.json"}, {"description.json is not a JSON object with a \"table\" member"}},
        {"description of another table", put("description.json", "{\"table\":{\"TableName\":\"t2\"}}"), false,
         {"description.json does not match the checksum"}, {}},
        {"description missing", [](BackupFolder& d) { d.remove("description.json"); }, false,
         {"description.json is missing"}, {"description.json is missing"}},
    };
    for (bool legacy : {false, true}) {
        for (const auto& c : cases) {
            if (legacy && c.atOpen) continue;  // manifest damage needs a checksum or a gap to show
            SCOPED_TRACE(std::string(c.name) + (legacy ? " (legacy)" : ""));
            BackupFolder dir;
            fill(dir, {numbered("a", 3), numbered("b", 3), numbered("c", 3)}, legacy);
            c.damage(dir);
            std::string error;
            auto reader = BackupReader::open(dir.path(), error);
            const auto& expected = legacy ? c.legacy : c.expected;
            if (c.atOpen) {
                EXPECT_FALSE(reader);
            } else {
                ASSERT_TRUE(reader) << error;
                EXPECT_EQ(reader->manifest().hasChecksums(), !legacy);
                EXPECT_EQ(reader->verify(error), expected.empty()) << error;
                if (!expected.empty()) { EXPECT_TRUE(has(error, "backup " + dir.path() + ": ")) << error; }
            }
            for (const char* part : expected) EXPECT_TRUE(has(error, part)) << error;
        }
    }
}

// A line longer than one read block, an empty chunk, a chunk of several checked segments and a
// torn tail (an interrupted write past what the manifest records) between them; line by line
// and in blocks.
TEST(RestoreEnvironment, StreamsEveryChunkInOrderIgnoresATornTailAndServesDescriptionAndMetadata) {
    BackupFolder folder;
    folder.manifest.incremental = true;
    folder.manifest.fromTime = 100;
    const std::string longLine = "{\"x\":\"" + std::string(200000, 'x') + "\"}\n", last = numbered("c", 70000);
    for (const auto& text : {numbered("a", 500), std::string(), longLine + last}) folder.addChunk(text);
    folder.finish("{\"table\":{\"TableName\":\"src\",\"odata.metadata\":\"m\"}}");
    folder.write("data-000003.jsonl", folder.read("data-000003.jsonl") + "{\"torn\":");
    RestoreEnvironment env(folder.path() + "/");
    std::string text;
    ASSERT_TRUE(env.verify(text)) << text;
    EXPECT_EQ(env.verifiedBytes(), folder.manifest.totalBytes());
    ASSERT_TRUE(env.createDescriptionInput()->getContents(text));
    EXPECT_EQ(text, "{\"table\":{\"TableName\":\"src\",\"odata.metadata\":\"m\"}}");
    ASSERT_TRUE(env.createMetadataInput()->getContents(text));
    EXPECT_EQ(text, folder.manifest.metadataJson());
    ASSERT_GT(last.size(), 2 * BackupReader::kSegmentBytes);
    auto input = env.createInput("src", false);
    EXPECT_EQ(readAll(*input), numbered("a", 500) + longLine + last);
    EXPECT_FALSE(input->error());
    std::vector<std::string> block;
    text.clear();
    input = env.createInput("src", false);
    while (const size_t count = input->getLines(block, 7, 1000))
        for (size_t i = 0; i < count; ++i) text += block[i] + "\n";
    EXPECT_EQ(text, numbered("a", 500) + longLine + last);
    EXPECT_FALSE(input->error());
    EXPECT_EQ(env.linesDelivered(), 2 * 70501u);
    EXPECT_FALSE(env.hasFailed());
    EXPECT_EQ(env.createOutput("x", true), nullptr);
}

// The whole folder is checked before a line is handed out: one whose last chunk's entry was
// removed (its file left: the fault once seen) gives none; a damaged chunk fails the input after
// the lines of the sound chunks before it. (Unfinished and missing backups: the reader's tests.)
TEST(RestoreEnvironment, AnUnlistedOrDamagedChunkIsNeverReplayed) {
    BackupFolder unlisted, damaged;
    for (const char* prefix : {"a", "b", "c"}) {
        unlisted.addChunk(numbered(prefix, 10));
        damaged.addChunk(numbered(prefix, 100));
    }
    unlisted.manifest.chunks.pop_back();
    unlisted.finish();
    damaged.finish();
    damaged.corrupt("data-000002.jsonl", 1000);
    const struct {
        BackupFolder* folder;
        std::string says, handedOut;
    } cases[] = {
        {&unlisted, "data-000003.jsonl, which backup.json does not list", ""},
        {&damaged, "Backup " + damaged.path() + ": chunk data-000002.jsonl is damaged (checksum mismatch)",
         numbered("a", 100)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        RestoreEnvironment env(c.folder->path());
        auto input = env.createInput("src", false);
        EXPECT_EQ(readAll(*input), c.handedOut);
        EXPECT_TRUE(input->error());
        EXPECT_TRUE(env.hasFailed());
        std::string error;
        EXPECT_FALSE(env.verify(error));
        EXPECT_TRUE(has(env.failureMessage() + " / " + error, c.says)) << env.failureMessage() << " / " << error;
    }
}

TEST(RestoreEnvironment, AReaderThatStopsEarlyLetsGo) {
    BackupFolder folder;
    folder.addChunk(numbered("a", 20000));
    folder.finish();
    RestoreEnvironment env(folder.path());
    auto input = env.createInput("src", false);
    std::string line;
    ASSERT_TRUE(input->getLine(line));
    input->close();
    EXPECT_FALSE(input->getLine(line)) << "a closed input hands out nothing more";
    input.reset();  // must not hang, nor read the rest
}
