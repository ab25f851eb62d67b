#include <gtest/gtest.h>

#include "platform/store/BackupFormat.h"

using namespace platform::store;

TEST(Crc32c, KnownAnswersAndContinuation) {
    // Published check value of CRC-32C for "123456789".
    EXPECT_EQ(crc32c(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(crc32c(0, "", 0), 0u);
    std::string text = "a longer text that crosses the eight-byte fast path several times";
    uint32_t whole = crc32c(0, text.data(), text.size());
    for (size_t cut = 0; cut <= text.size(); ++cut)
        EXPECT_EQ(crc32c(crc32c(0, text.data(), cut), text.data() + cut, text.size() - cut), whole) << cut;
}

// The instruction and the table give the same values at every length and alignment, continued
// or not, so stored checksums do not depend on the machine that wrote them.
TEST(Crc32c, HardwareAndTableAgree) {
    EXPECT_EQ(crc32cTable(0, "123456789", 9), 0xE3069283u);
    if (!crc32cHardwareAvailable()) GTEST_SKIP() << "no CRC32 instruction on this processor";
    std::string bytes(5 * 12288 + 16, '\0');  // long runs are summed in three lanes of 4096 bytes
    uint32_t seed = 12345;
    for (auto& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 23);
    for (size_t offset = 0; offset < 16; ++offset)
        for (size_t size : {0, 1, 3, 7, 8, 9, 15, 16, 17, 63, 64, 65, 1000, 4096, 12287, 12288, 12289, 12295, 24576,
                            5 * 12288}) {
            const char* at = bytes.data() + offset;
            EXPECT_EQ(crc32cHardware(0, at, size), crc32cTable(0, at, size)) << offset << " " << size;
            EXPECT_EQ(crc32cHardware(0xDEADBEEF, at, size), crc32cTable(0xDEADBEEF, at, size)) << offset << " " << size;
        }
}

TEST(BackupManifest, RoundTripsAndRejectsDamage) {
    BackupManifest m;
    m.account = "acct";
    m.table = "t\"ab";
    m.incremental = true;
    m.fromTime = 1609459199;
    m.toTime = 1700000000;
    m.restart = "pk+/=:rk";
    m.pages = 3;
    m.chunks.push_back({chunkFileName(1), 1234, 10, 0xDEADBEEF});
    BackupManifest back;
    std::string error;
    ASSERT_TRUE(BackupManifest::fromJson(m.toJson(), back, error)) << error;
    EXPECT_EQ(back.toJson(), m.toJson());
    EXPECT_EQ(back.chunks.at(0).file, "data-000001.jsonl");

    EXPECT_FALSE(BackupManifest::fromJson(m.toJson().substr(0, 40), back, error));
    std::string unsafe = m.toJson();
    unsafe.replace(unsafe.find("data-000001.jsonl"), 17, "../../etc/passwd");
    EXPECT_FALSE(BackupManifest::fromJson(unsafe, back, error));
    EXPECT_NE(error.find("unsafe"), std::string::npos);
    // A key set round-trips under the one name it may have.
    m.keySet = {"keys.jsonl", 99, 3, 7};
    ASSERT_TRUE(BackupManifest::fromJson(m.toJson(), back, error)) << error;
    EXPECT_TRUE(back.hasKeySet());
    EXPECT_EQ(back.keySet.lines, 3u);
    std::string elsewhere = m.toJson();
    elsewhere.replace(elsewhere.find("keys.jsonl"), 10, "../../x.jsonl");
    EXPECT_FALSE(BackupManifest::fromJson(elsewhere, back, error));
    EXPECT_NE(error.find("key set"), std::string::npos);
    m.keySet = {};
    // "bounded" round-trips and reads as true where absent (older manifests); that the checksum
    // covers every member: the reader's "manifest edited by hand" case.
    m.bounded = false;
    ASSERT_TRUE(BackupManifest::fromJson(m.toJson(), back, error)) << error;
    EXPECT_FALSE(back.bounded);
    EXPECT_TRUE(back.hasChecksums());
    std::string old = m.toJson();
    old.erase(old.find(",\"bounded\":false"), 16);
    old = old.substr(0, old.find(",\"manifestCrc32c\"")) + "}";
    ASSERT_TRUE(BackupManifest::fromJson(old, back, error)) << error;
    EXPECT_TRUE(back.bounded);
    EXPECT_FALSE(back.hasChecksums());
    EXPECT_EQ(m.metadataJson(),
              "{\"account\":\"acct\",\"table\":\"t\\\"ab\",\"kind\":\"incremental\",\"fromTime\":1609459199,"
              "\"toTime\":1700000000}");
}
