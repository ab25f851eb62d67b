#include <gtest/gtest.h>

#include <tuple>

#include "agent/AzureTablePathDecoder.h"
#include "restore/AzureTablePathDecoder.h"

namespace {

// result, account, table, job, chunk, archive file, incremental
using Decoded = std::tuple<int, std::string, std::string, long long, int, long long, bool>;

Decoded fieldsOf(const AzureTablePathDecoder& d, int r) {
    return {r, d.getAccount(), d.getTableName(), d.getJobId(), d.getChunkNumber(), d.getAfileId(), d.isIncremental()};
}

Decoded fieldsOf(const AzureTableIDA::AzureTablePathDecoder& d, int r) {
    return {r, d.getAccountName(), d.getTableName(), d.getJobId(), d.getChunkNumber(), d.getAfileId(),
            d.isIncremental()};
}

// Each path is decoded by a fresh decoder and by ones that have just decoded a chunk path and an
// archive-file path, so a field left over from the previous path shows up as a mismatch.
template <typename Decoder>
void expectDecodes(const std::string& path, const Decoded& expected) {
    Decoder fresh;
    EXPECT_EQ(fieldsOf(fresh, fresh.initialize(path)), expected) << "fresh decoder";
    for (const char* previous : {"/old/old/I99/7", "/old/old/I99/7/88"}) {
        Decoder reused;
        ASSERT_GT(reused.initialize(previous), 0);
        EXPECT_EQ(fieldsOf(reused, reused.initialize(path)), expected) << "after " << previous;
    }
}

}  // namespace

// Both decoders share the grammar and must agree on every path.
TEST(PathDecoder, DecodesEveryPathShapeTheSameInBothDecoders) {
    const Decoded none{-1, "", "", -1, -1, -1, false};
    const struct {
        std::string path;
        Decoded expected;
    } cases[] = {
        {"", none}, {"/", none}, {"\\", none}, {"//\\/", none},
        {"acct", {1, "acct", "", -1, -1, -1, false}},
        {"\\acct\\tab", {2, "acct", "tab", -1, -1, -1, false}},
        {"//acct///tab/", {2, "acct", "tab", -1, -1, -1, false}},
        {"/acct\\tab\\", {2, "acct", "tab", -1, -1, -1, false}},
        {std::string("/acct/tab\0/F40", 14), {2, "acct", "tab", -1, -1, -1, false}},  // the scan stops at NUL
        {"/acct/tab/F40", {3, "acct", "tab", 40, -1, -1, false}},
        {"\\acct\\tab\\I80", {3, "acct", "tab", 80, -1, -1, true}},
        {"/acct/tab/F80/4", {4, "acct", "tab", 80, 4, -1, false}},
        {"\\acct2\\tab2\\I81\\1", {4, "acct2", "tab2", 81, 1, -1, true}},
        {"/reg1/tab1/F50/3/17", {5, "reg1", "tab1", 50, -1, 17, false}},
        {"/reg1/tab1/F50/zzz/17", {5, "reg1", "tab1", 50, -1, 17, false}},  // fourth component unread
        // Numbers read like the C library: leading blanks and sign, trailing junk ignored.
        {"/acct/tab/F40x", {3, "acct", "tab", 40, -1, -1, false}},
        {"/acct/tab/F 7", {3, "acct", "tab", 7, -1, -1, false}},
        {"/acct/tab/F+9/2x", {4, "acct", "tab", 9, 2, -1, false}},
        {"/acct/tab/F9223372036854775807", {3, "acct", "tab", 9223372036854775807LL, -1, -1, false}},
        // A bad job component leaves account and table empty; a job id below 1 keeps kind and value.
        {"/acct/tab/X40", none}, {"/acct/tab/f40", none},
        {"/acct/tab/F", {-1, "", "", 0, -1, -1, false}},
        {"/acct/tab/F0", {-1, "", "", 0, -1, -1, false}},
        {"/acct/tab/I-3", {-1, "", "", -3, -1, -1, true}},
        // A bad chunk or archive-file id keeps what was decoded before it.
        {"/acct/tab/F40/0", {-1, "acct", "tab", 40, 0, -1, false}},
        {"/acct/tab/I40/x", {-1, "acct", "tab", 40, 0, -1, true}},
        {"/acct/tab/F40/1/-2", {-1, "acct", "tab", 40, -1, -2, false}},
        {"/a/b/F1/2/3/4", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("path: " + c.path);
        expectDecodes<AzureTablePathDecoder>(c.path, c.expected);
        expectDecodes<AzureTableIDA::AzureTablePathDecoder>(c.path, c.expected);
    }
}

TEST(PathDecoder, ToPathBuildsTheFolderAndSplitUsesOnlyTheGivenSeparators) {
    EXPECT_EQ(AzureTablePathDecoder::toPath("acct", "tab", false, 40, "/"), "/acct/tab/F40");
    EXPECT_EQ(AzureTablePathDecoder::toPath("acct", "tab", true, 80, "\\"), "\\acct\\tab\\I80");
    EXPECT_EQ(AzureTableIDA::AzureTablePathDecoder::toPath("a", "t", false, -5, "/"), "/a/t/F-5");
    AzureTableIDA::AzureTablePathDecoder d;
    EXPECT_EQ(d.initialize(AzureTableIDA::AzureTablePathDecoder::toPath("acct", "tab", true, 81, "/") + "/1"), 4);
    EXPECT_EQ(fieldsOf(d, 4), Decoded(4, "acct", "tab", 81, 1, -1, true));
    AzureTablePathDecoder::test();
    AzureTableIDA::AzureTablePathDecoder::test();

    AzureTablePathDecoder r;
    std::vector<std::string> parts{"kept"};
    r.splitPath("a//b\\c/", "/", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{"kept", "a", "b\\c"}));
}
