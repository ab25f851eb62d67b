#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

#include "StoreTestUtil.h"
#include "platform/store/BackupReader.h"

using namespace platform::store;
using testing_support::TempFolder;

namespace {

const char* const kDescription = "{\"table\":{\"TableName\":\"t1\"}}";

// Writes a finished backup of the given chunks (each a list of lines) into `folder`; `legacy`
// writes the manifest as it was before checksums were recorded.
BackupManifest writeBackup(const std::string& folder, const std::vector<std::vector<std::string>>& chunks,
                           bool complete = true, bool legacy = false) {
    BackupManifest m;
    m.account = "acct";
    m.table = "t1";
    m.toTime = 1700000000;
    m.restart = complete ? ":" : "pk:rk";
    m.complete = complete;
    unsigned index = 0;
    for (const auto& lines : chunks) {
        std::string data;
        for (const auto& l : lines) data += l + "\n";
        ChunkInfo c{chunkFileName(++index), data.size(), lines.size(), crc32c(0, data.data(), data.size())};
        store_test::writeAll(folder + "/" + c.file, data);
        m.chunks.push_back(c);
    }
    m.pages = index;
    m.descriptionFile = FileChecksum::of(kDescription);
    m.metadataFile = FileChecksum::of(m.metadataJson());
    store_test::writeAll(folder + "/backup.json", legacy ? store_test::legacyJson(m) : m.toJson());
    store_test::writeAll(folder + "/description.json", kDescription);
    store_test::writeAll(folder + "/metadata.json", m.metadataJson());
    return m;
}

std::vector<std::string> readLines(BackupReader& reader) {
    std::vector<std::string> lines;
    std::string line;
    while (reader.nextLine(line)) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(BackupReader, StreamsEveryChunkInOrderAndIgnoresATornTail) {
    TempFolder dir;
    std::string longLine = "{\"x\":\"" + std::string(200000, 'x') + "\"}";  // longer than one read block
    writeBackup(dir.path(), {{"{\"a\":1}", "{\"a\":2}"}, {}, {longLine, "{\"a\":\"é\"}"}});
    // Bytes past the recorded size are the remains of an interrupted write.
    std::ofstream(dir.file("data-000003.jsonl"), std::ios::app) << "{\"torn\":";

    std::string error;
    auto reader = BackupReader::open(dir.path() + "/", error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->manifest().table, "t1");
    std::string text;
    ASSERT_TRUE(reader->readDescription(text));
    EXPECT_EQ(text, "{\"table\":{\"TableName\":\"t1\"}}");
    ASSERT_TRUE(reader->readMetadata(text));
    EXPECT_NE(text.find("\"kind\":\"full\""), std::string::npos);
    EXPECT_TRUE(reader->verify(error)) << error;

    EXPECT_EQ(readLines(*reader), (std::vector<std::string>{"{\"a\":1}", "{\"a\":2}", longLine, "{\"a\":\"é\"}"}));
    EXPECT_FALSE(reader->error()) << reader->errorMessage();
    EXPECT_EQ(reader->linesRead(), 4u);
}

TEST(BackupReader, YieldsNoLineOfADamagedTruncatedOrMissingChunk) {
    struct Case {
        const char* name;
        void (*damage)(const std::string& path);
        const char* message;
    };
    const Case cases[] = {
        {"flipped byte",
         [](const std::string& p) {
             std::string d = store_test::readAll(p);
             d[3] ^= 0x01;
             store_test::writeAll(p, d);
         },
         "checksum mismatch"},
        {"truncated",
         [](const std::string& p) {
             std::string d = store_test::readAll(p);
             store_test::writeAll(p, d.substr(0, d.size() - 2));
         },
         "truncated"},
        {"missing", [](const std::string& p) { std::remove(p.c_str()); }, "missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        writeBackup(dir.path(), {{"{\"a\":1}"}, {"{\"b\":1}", "{\"b\":2}"}, {"{\"c\":1}"}});
        c.damage(dir.file("data-000002.jsonl"));
        std::string error;
        auto reader = BackupReader::open(dir.path(), error);
        ASSERT_TRUE(reader) << error;
        EXPECT_FALSE(reader->verify(error));
        EXPECT_NE(error.find("data-000002.jsonl"), std::string::npos) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;

        EXPECT_EQ(readLines(*reader), std::vector<std::string>{"{\"a\":1}"});
        EXPECT_TRUE(reader->error());
        EXPECT_NE(reader->errorMessage().find(c.message), std::string::npos) << reader->errorMessage();
        std::string line;
        EXPECT_FALSE(reader->nextLine(line));  // stays failed
    }
}

TEST(BackupReader, ChecksLineCountsAndRefusesUnfinishedOrAbsentBackups) {
    TempFolder dir;
    std::string error;
    EXPECT_FALSE(BackupReader::open(dir.path(), error));
    EXPECT_NE(error.find("backup.json is missing"), std::string::npos) << error;

    writeBackup(dir.path(), {{"{\"a\":1}"}}, false);
    EXPECT_FALSE(BackupReader::open(dir.path(), error));
    EXPECT_NE(error.find("did not finish"), std::string::npos) << error;
    auto reader = BackupReader::open(dir.path(), error, posixFileSystem(), true);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(readLines(*reader).size(), 1u);

    // A manifest whose line count disagrees with its (correctly summed) chunk is refused too.
    BackupManifest m = writeBackup(dir.path(), {{"{\"a\":1}", "{\"a\":2}"}});
    m.chunks[0].lines = 3;
    dir.write("backup.json", m.toJson());
    reader = BackupReader::open(dir.path(), error);
    ASSERT_TRUE(reader) << error;
    EXPECT_TRUE(readLines(*reader).empty());
    EXPECT_NE(reader->errorMessage().find("3 complete lines"), std::string::npos) << reader->errorMessage();

    dir.write("backup.json", "{\"format\":1");
    EXPECT_FALSE(BackupReader::open(dir.path(), error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

namespace {

std::vector<std::string> lines(const std::string& prefix, int count) {
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i)
        result.push_back("{\"PartitionKey\":\"" + prefix + "\",\"RowKey\":\"" + std::to_string(i) + "\",\"n\":1}");
    return result;
}

void rewriteManifest(const std::string& folder, void (*edit)(BackupManifest&)) {
    BackupManifest m = store_test::readManifest(folder);
    edit(m);
    store_test::writeAll(folder + "/backup.json", m.toJson());
}

}  // namespace

// Each case damages a sound three-chunk backup; open() or else verify() must refuse it, naming
// the file and what is wrong. Manifest edits keep its checksum right unless the case is about it.
TEST(BackupReader, VerifyFindsEveryKindOfDamageAndNamesTheFile) {
    struct Case {
        const char* name;
        std::function<void(TempFolder&)> damage;
        bool atOpen;                           // refused by open(), else by verify()
        std::vector<const char*> expected;     // in the error, checksummed folder
        std::vector<const char*> legacy;       // in verify()'s error for a legacy folder; empty: it passes
    };
    auto editFile = [](const char* file, std::string text) {
        return [file, text](TempFolder& dir) { dir.write(file, text); };
    };
    const std::string metadataOf = "{\"account\":\"acct\",\"table\":\"t1\",\"kind\":\"full\",\"fromTime\":0,\"toTime\":";
    const std::vector<Case> cases = {
        {"last manifest entry removed, file kept",
         [](TempFolder& d) { rewriteManifest(d.path(), [](BackupManifest& m) { m.chunks.pop_back(); }); }, true,
         {"data-000003.jsonl", "does not list"}, {}},
        {"middle manifest entry removed",
         [](TempFolder& d) {
             rewriteManifest(d.path(), [](BackupManifest& m) { m.chunks.erase(m.chunks.begin() + 1); });
         },
         true, {"data-000003.jsonl as chunk 2", "without gaps"}, {}},
        {"chunk file renamed",
         [](TempFolder& d) {
             std::rename(d.file("data-000002.jsonl").c_str(), d.file("saved-000002.jsonl").c_str());
         },
         false, {"data-000002.jsonl is missing"}, {"data-000002.jsonl is missing"}},
        {"unlisted data file", [](TempFolder& d) { d.write("data-000004.jsonl", "{}\n"); }, true,
         {"data-000004.jsonl", "does not list"}, {}},
        {"manifest edited by hand",
         [](TempFolder& d) {
             std::string text = d.read("backup.json");
             text.replace(text.find("\"pages\":3"), 9, "\"pages\":4");
             d.write("backup.json", text);
         },
         true, {"backup.json", "does not match its checksum"}, {}},
        {"manifest checksum removed",
         [](TempFolder& d) {
             std::string text = d.read("backup.json");
             d.write("backup.json", text.substr(0, text.find(",\"manifestCrc32c\"")) + "}");
         },
         true, {"lacks its checksum"}, {}},
        {"metadata not JSON", editFile("metadata.json", "not JSON"), false, {"metadata.json", "bytes long"},
         {"metadata.json is not a JSON object"}},
        {"metadata an array", editFile("metadata.json", "[]"), false, {"metadata.json"},
         {"metadata.json is not a JSON object"}},
        {"metadata of another table",
         editFile("metadata.json", "{\"account\":\"acct\",\"table\":\"t9\",\"kind\":\"full\",\"fromTime\":0,"
                                   "\"toTime\":1700000000}"),
         false, {"metadata.json does not match the checksum"}, {"metadata.json does not name the manifest's table"}},
        {"metadata of other bounds", editFile("metadata.json", metadataOf + "1700000001}"), false,
         {"metadata.json does not match the checksum"}, {"does not name the manifest's toTime"}},
        {"metadata of another kind", editFile("metadata.json", "{\"account\":\"acct\",\"table\":\"t1\",\"kind\":"
                                                               "\"incremental\",\"fromTime\":0,\"toTime\":1700000000}"),
         false, {"metadata.json"}, {"does not name the manifest's kind"}},
        {"metadata reformatted", editFile("metadata.json", metadataOf + "1700000000} "), false,
         {"metadata.json is", "bytes long; backup.json records"}, {}},
        {"description not JSON", editFile("description.json", "not JSON at all, really not."), false,
         {"description.json does not match the checksum"}, {"description.json is not a JSON object"}},
        {"description without table", editFile("description.json", "{\"tablet\":{\"TableName\":\"t1\"}}"), false,
         {"description.json"}, {"description.json is not a JSON object with a \"table\" member"}},
        {"description of another table", editFile("description.json", "{\"table\":{\"TableName\":\"t2\"}}"), false,
         {"description.json does not match the checksum"}, {}},
        {"description missing", [](TempFolder& d) { std::remove(d.file("description.json").c_str()); }, false,
         {"description.json is missing"}, {"description.json is missing"}},
    };
    for (bool legacy : {false, true}) {
        for (const auto& c : cases) {
            if (legacy && c.atOpen) continue;  // manifest damage needs a checksum or a gap to show
            SCOPED_TRACE(std::string(c.name) + (legacy ? " (legacy)" : ""));
            TempFolder dir;
            writeBackup(dir.path(), {lines("a", 3), lines("b", 3), lines("c", 3)}, true, legacy);
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
                if (!expected.empty()) {
                    EXPECT_NE(error.find("backup " + dir.path() + ": "), std::string::npos) << error;
                }
            }
            for (const char* part : expected) EXPECT_NE(error.find(part), std::string::npos) << error;
        }
    }
}

TEST(BackupReader, VerifyLocatesAFlippedByteDeepInAChunkAndCountsItsProgress) {
    TempFolder dir;
    BackupManifest m = writeBackup(dir.path(), {lines("a", 10), lines("b", 5000)});
    std::string error;
    auto reader = BackupReader::open(dir.path(), error);
    ASSERT_TRUE(reader) << error;
    std::atomic<uint64_t> verified{0};
    ASSERT_TRUE(reader->verify(error, &verified)) << error;
    EXPECT_EQ(verified.load(), m.totalBytes());

    struct Flip {
        const char* name;
        char from;  // the first byte of this value at or after line 4321 is flipped
        bool atLineStart;
    };
    for (const Flip& flip : {Flip{"digit", '1', false}, Flip{"quote", '"', false}, Flip{"brace", '{', true},
                             Flip{"letter", 'R', false}}) {
        SCOPED_TRACE(flip.name);
        TempFolder damaged;
        writeBackup(damaged.path(), {lines("a", 10), lines("b", 5000)});
        std::string data = damaged.read("data-000002.jsonl");
        size_t lineStart = 0;
        for (int i = 0; i < 4321; ++i) lineStart = data.find('\n', lineStart) + 1;
        size_t at = data.find(flip.from, lineStart + 1 - flip.atLineStart);
        data[at] ^= 0x20;
        damaged.write("data-000002.jsonl", data);
        reader = BackupReader::open(damaged.path(), error);
        ASSERT_TRUE(reader) << error;
        EXPECT_FALSE(reader->verify(error));
        EXPECT_NE(error.find("data-000002.jsonl is damaged (checksum mismatch)"), std::string::npos) << error;
        // A flipped letter leaves valid JSON: only the checksum shows it, without a place.
        if (flip.from != 'R')
            EXPECT_NE(error.find("the line at byte " + std::to_string(lineStart) + " "), std::string::npos) << error;
        else
            EXPECT_NE(error.find("a value changed"), std::string::npos) << error;
    }
}

