#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "StoreTestUtil.h"
#include "platform/store/BackupReader.h"

using namespace platform::store;
using testing_support::TempFolder;

namespace {

// Writes a finished backup of the given chunks (each a list of lines) into `folder`.
BackupManifest writeBackup(const std::string& folder, const std::vector<std::vector<std::string>>& chunks,
                           bool complete = true) {
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
    store_test::writeAll(folder + "/backup.json", m.toJson());
    store_test::writeAll(folder + "/description.json", "{\"table\":{\"TableName\":\"t1\"}}");
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
    std::string longLine(200000, 'x');  // longer than one read block
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
