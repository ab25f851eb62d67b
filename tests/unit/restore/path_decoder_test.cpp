#include <gtest/gtest.h>

#include "agent/AzureTablePathDecoder.h"
#include "restore/AzureTablePathDecoder.h"

namespace {

struct Decoded {
    int result;
    std::string account, table;
    long long job, afile;
    int chunk;
    bool incremental;
};

template <typename Decoder, typename AccountGetter>
Decoded decode(const std::string& path, AccountGetter account) {
    Decoder d;
    int r = d.initialize(path);
    return {r, (d.*account)(), d.getTableName(), d.getJobId(), d.getAfileId(), d.getChunkNumber(), d.isIncremental()};
}

// Both decoders must agree on every path; the test runs each case through both.
void expectDecodes(const std::string& path, const Decoded& expected) {
    SCOPED_TRACE("path: " + path);
    for (const Decoded& got : {decode<AzureTablePathDecoder>(path, &AzureTablePathDecoder::getAccount),
                               decode<AzureTableIDA::AzureTablePathDecoder>(
                                   path, &AzureTableIDA::AzureTablePathDecoder::getAccountName)}) {
        EXPECT_EQ(got.result, expected.result);
        EXPECT_EQ(got.account, expected.account);
        EXPECT_EQ(got.table, expected.table);
        EXPECT_EQ(got.job, expected.job);
        EXPECT_EQ(got.chunk, expected.chunk);
        EXPECT_EQ(got.afile, expected.afile);
        EXPECT_EQ(got.incremental, expected.incremental);
    }
}

}  // namespace

TEST(PathDecoder, EmptyAndSeparatorOnlyPathsFailWithFieldsAtTheirDefaults) {
    for (const char* path : {"", "/", "\\", "//\\/"}) expectDecodes(path, {-1, "", "", -1, -1, -1, false});
}

TEST(PathDecoder, AccountAndTableOnly) {
    expectDecodes("acct", {1, "acct", "", -1, -1, -1, false});
    expectDecodes("\\acct\\tab", {2, "acct", "tab", -1, -1, -1, false});
    expectDecodes("//acct///tab/", {2, "acct", "tab", -1, -1, -1, false});
    expectDecodes("/acct\\tab\\", {2, "acct", "tab", -1, -1, -1, false});
}

TEST(PathDecoder, JobFolderChunkAndArchiveFile) {
    expectDecodes("/acct/tab/F40", {3, "acct", "tab", 40, -1, -1, false});
    expectDecodes("\\acct\\tab\\I80", {3, "acct", "tab", 80, -1, -1, true});
    expectDecodes("/acct/tab/F80/4", {4, "acct", "tab", 80, -1, 4, false});
    expectDecodes("\\acct2\\tab2\\I81\\1", {4, "acct2", "tab2", 81, -1, 1, true});
    expectDecodes("/reg1/tab1/F50/3/17", {5, "reg1", "tab1", 50, 17, -1, false});
    // The unnamed fourth component of a five-component path is not read at all.
    expectDecodes("/reg1/tab1/F50/zzz/17", {5, "reg1", "tab1", 50, 17, -1, false});
}

TEST(PathDecoder, NumbersReadLikeTheCLibrary) {
    expectDecodes("/acct/tab/F40x", {3, "acct", "tab", 40, -1, -1, false});
    expectDecodes("/acct/tab/F 7", {3, "acct", "tab", 7, -1, -1, false});
    expectDecodes("/acct/tab/F+9/2x", {4, "acct", "tab", 9, -1, 2, false});
    expectDecodes("/acct/tab/F9223372036854775807", {3, "acct", "tab", 9223372036854775807LL, -1, -1, false});
}

TEST(PathDecoder, BadJobComponentLeavesAccountAndTableEmpty) {
    expectDecodes("/acct/tab/X40", {-1, "", "", -1, -1, -1, false});
    expectDecodes("/acct/tab/f40", {-1, "", "", -1, -1, -1, false});
    // A job id below 1 keeps the kind and the value read.
    expectDecodes("/acct/tab/F", {-1, "", "", 0, -1, -1, false});
    expectDecodes("/acct/tab/F0", {-1, "", "", 0, -1, -1, false});
    expectDecodes("/acct/tab/I-3", {-1, "", "", -3, -1, -1, true});
}

TEST(PathDecoder, BadChunkOrArchiveFileKeepsWhatWasDecoded) {
    expectDecodes("/acct/tab/F40/0", {-1, "acct", "tab", 40, -1, 0, false});
    expectDecodes("/acct/tab/I40/x", {-1, "acct", "tab", 40, -1, 0, true});
    expectDecodes("/acct/tab/F40/1/-2", {-1, "acct", "tab", 40, -2, -1, false});
}

TEST(PathDecoder, TooManyComponentsFail) {
    expectDecodes("/a/b/F1/2/3/4", {-1, "", "", -1, -1, -1, false});
}

TEST(PathDecoder, ScanStopsAtNul) {
    expectDecodes(std::string("/acct/tab\0/F40", 14), {2, "acct", "tab", -1, -1, -1, false});
}

TEST(PathDecoder, ANewPathResetsEverything) {
    AzureTablePathDecoder d;
    ASSERT_EQ(d.initialize("/reg1/tab1/I50/3/17"), 5);
    EXPECT_EQ(d.initialize("/other"), 1);
    EXPECT_EQ(d.getAccount(), "other");
    EXPECT_EQ(d.getTableName(), "");
    EXPECT_EQ(d.getJobId(), -1);
    EXPECT_EQ(d.getAfileId(), -1);
    EXPECT_FALSE(d.isIncremental());
}

TEST(PathDecoder, ToPathBuildsTheFolderAndDecodesBack) {
    EXPECT_EQ(AzureTablePathDecoder::toPath("acct", "tab", false, 40, "/"), "/acct/tab/F40");
    EXPECT_EQ(AzureTablePathDecoder::toPath("acct", "tab", true, 80, "\\"), "\\acct\\tab\\I80");
    EXPECT_EQ(AzureTableIDA::AzureTablePathDecoder::toPath("a", "t", false, -5, "/"), "/a/t/F-5");
    AzureTableIDA::AzureTablePathDecoder d;
    EXPECT_EQ(d.initialize(AzureTableIDA::AzureTablePathDecoder::toPath("acct", "tab", true, 81, "/") + "/1"), 4);
    EXPECT_EQ(d.getAccountName(), "acct");
    EXPECT_TRUE(d.isIncremental());
    AzureTablePathDecoder::test();
    AzureTableIDA::AzureTablePathDecoder::test();
}

TEST(PathDecoder, SplitPathUsesOnlyTheGivenSeparators) {
    AzureTablePathDecoder d;
    std::vector<std::string> parts{"kept"};
    d.splitPath("a//b\\c/", "/", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{"kept", "a", "b\\c"}));
}
