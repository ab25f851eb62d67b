#include <gtest/gtest.h>

#include <tuple>

#include "agent/AzureTablePathDecoder.h"
#include "restore/AzureTablePathDecoder.h"

namespace {

// result, account, table, job, chunk, archive file, incremental
using Decoded = std::tuple<int, std::string, std::string, long long, int, long long, bool>;
using AgentDecoder = AzureTableIDA::AzureTablePathDecoder;

Decoded fieldsOf(const AzureTablePathDecoder& d, int r) {
    return {r, d.getAccount(), d.getTableName(), d.getJobId(), d.getChunkNumber(), d.getAfileId(), d.isIncremental()};
}
Decoded fieldsOf(const AgentDecoder& d, int r) {
    return {r, d.getAccountName(), d.getTableName(), d.getJobId(), d.getChunkNumber(), d.getAfileId(), d.isIncremental()};
}

// A fresh decoder and ones that just decoded a chunk and an archive-file path must agree, so a
// field left over from the previous path shows up as a mismatch.
template <typename Decoder>
void expectDecodes(const std::string& path, const Decoded& expected) {
    for (const char* previous : {"", "/old/old/I99/7", "/old/old/I99/7/88"}) {
        Decoder d;
        d.initialize(previous);
        EXPECT_EQ(fieldsOf(d, d.initialize(path)), expected) << "after '" << previous << "'";
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
        {"", none}, {"//\\/", none}, {"/a/b/F1/2/3/4", none},
        {"acct", {1, "acct", "", -1, -1, -1, false}},
        {"//acct\\\\tab/", {2, "acct", "tab", -1, -1, -1, false}},
        {std::string("/acct/tab\0/F40", 14), {2, "acct", "tab", -1, -1, -1, false}},  // the scan stops at NUL
        {"\\acct\\tab\\I80", {3, "acct", "tab", 80, -1, -1, true}},
        {"/acct/tab/F80/4", {4, "acct", "tab", 80, 4, -1, false}},
        {"/reg1/tab1/F50/zzz/17", {5, "reg1", "tab1", 50, -1, 17, false}},  // fourth component unread
        // Numbers read like the C library: leading blanks and sign, trailing junk ignored.
        {"/acct/tab/F 7x", {3, "acct", "tab", 7, -1, -1, false}},
        {"/acct/tab/F+9/2x", {4, "acct", "tab", 9, 2, -1, false}},
        {"/acct/tab/F9223372036854775807", {3, "acct", "tab", 9223372036854775807LL, -1, -1, false}},
        // A bad job component leaves account and table empty; a job id below 1 keeps kind and value.
        {"/acct/tab/X40", none}, {"/acct/tab/f40", none},
        {"/acct/tab/F", {-1, "", "", 0, -1, -1, false}},
        {"/acct/tab/I-3", {-1, "", "", -3, -1, -1, true}},
        // A bad chunk or archive-file id keeps what was decoded before it.
        {"/acct/tab/I40/x", {-1, "acct", "tab", 40, 0, -1, true}},
        {"/acct/tab/F40/1/-2", {-1, "acct", "tab", 40, -1, -2, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("path: " + c.path);
        expectDecodes<AzureTablePathDecoder>(c.path, c.expected);
        expectDecodes<AgentDecoder>(c.path, c.expected);
    }
}

TEST(PathDecoder, ToPathBuildsTheFolderAndSplitUsesOnlyTheGivenSeparators) {
    EXPECT_EQ(AzureTablePathDecoder::toPath("acct", "tab", true, 80, "\\"), "\\acct\\tab\\I80");
    EXPECT_EQ(AgentDecoder::toPath("a", "t", false, -5, "/"), "/a/t/F-5");
    std::vector<std::string> parts{"kept"};
    AzureTablePathDecoder().splitPath("a//b\\c/", "/", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{"kept", "a", "b\\c"}));
}
