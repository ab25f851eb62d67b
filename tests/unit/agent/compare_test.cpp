#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/AzureTableCompare.h"

using AzureTableIDA::AzureTableKeyOrder;
using AzureTableIDA::AzureTablePageReader;
using AzureTableIDA::compareTables;
using AzureTableIDA::compareTableStreams;

namespace {

using Pages = std::vector<std::vector<std::string>>;

std::string entity(const std::string& pk, const std::string& rk, const std::string& rest = "\"v\":1") {
    return "{\"odata.etag\":\"W/\\\"" + rk + "\\\"\",\"PartitionKey\":\"" + pk + "\",\"RowKey\":\"" + rk +
           "\",\"Timestamp\":\"2026-01-01T00:00:00Z\"" + (rest.empty() ? "" : "," + rest) + "}";
}

// Serves `pages` one at a time, noting each fetch as `name` in `fetches`; "FAIL" as a page's
// only line makes that fetch fail.
AzureTablePageReader pagesOf(const Pages& pages, const std::string& name, std::string& fetches) {
    size_t next = 0;
    return [pages, name, &fetches, next](std::string& page, bool& more, std::string& error) mutable {
        fetches += name;
        if (pages[next] == std::vector<std::string>{"FAIL"}) {
            error = "page " + std::to_string(next) + " of " + name + " failed";
            return false;
        }
        for (const auto& line : pages[next]) page += line + "\n";
        more = ++next < pages.size();
        return true;
    };
}

TEST(CompareTableStreams, MergesPagesInKeyOrder) {
    struct Case {
        const char* name;
        Pages a, b;
        std::vector<std::string> differences;
        std::string error;  // "" = both read to the end
        size_t entitiesA, entitiesB;
        AzureTableKeyOrder order = AzureTableKeyOrder::Utf8Bytes;  // the order compareTables ends in
    };
    const std::string u = "\xc3\xbc";          // U+00FC: after every ASCII key in both orders
    const std::string fullwidth = "\xef\xbc\x81";  // U+FF01: before U+1F600 by bytes, after it in UTF-16
    const std::string emoji = "\xf0\x9f\x98\x80";
    auto only = [](const char* side, const std::string& pk, const std::string& rk) {
        return std::string("only in ") + side + ": (PartitionKey '" + pk + "', RowKey '" + rk + "')";
    };
    const std::vector<Case> cases = {
        {"B exhausted first",
         {{entity("p", "1"), entity("p", "2")}, {entity(u, "3")}},
         {{entity("p", "1")}}, {only("A", "p", "2"), only("A", u, "3")}, "", 3, 1},
        {"equal across different page boundaries, service fields left out",
         {{entity("P", "1"), entity("a", "1")}, {}, {entity("a", "10"), entity(u, "")}, {}},
         {{entity("P", "1")},
          {entity("a", "1"), entity("a", "10")},
          {"{\"odata.etag\":\"W/\\\"other\\\"\",\"PartitionKey\":\"" + u +
           "\",\"RowKey\":\"\",\"Timestamp\":\"2030-05-05T00:00:00Z\",\"v\":1}"}},
         {}, "", 4, 4},
        {"A out of key order across pages",
         {{entity("p", "1"), entity("p", "3")}, {entity("p", "2")}},
         {{entity("p", "1"), entity("p", "2"), entity("p", "3")}}, {only("B", "p", "2")},
         "table A returned its entities out of key order: (PartitionKey 'p', RowKey '2') came after "
         "(PartitionKey 'p', RowKey '3')",
         2, 3, AzureTableKeyOrder::Utf16Units},
        {"B repeats a key", {{entity("p", "1")}}, {{entity("p", "1"), entity("p", "1")}}, {},
         "table B returned its entities out of key order", 1, 1, AzureTableKeyOrder::Utf16Units},
        {"keys in UTF-16 order",
         {{entity("p", "a" + emoji), entity("p", "a" + fullwidth)}, {entity(emoji, "1")}},
         {{entity("p", "a" + emoji)}, {entity("p", "a" + fullwidth, "\"v\":2"), entity(fullwidth, "1")}},
         {"differs (PartitionKey 'p', RowKey 'a" + fullwidth + "') property v: A has Edm.Int32 1, B has Edm.Int32 2",
          only("A", emoji, "1"), only("B", fullwidth, "1")},
         "", 3, 3, AzureTableKeyOrder::Utf16Units},
        {"keys in neither order", {{entity("p", fullwidth), entity("p", emoji), entity("p", fullwidth + "x")}},
         {{}}, {only("A", "p", fullwidth)},
         "table A returned its entities out of key order", 1, 0, AzureTableKeyOrder::Utf16Units},
        {"entity that is not JSON", {{entity("p", "1")}}, {{"{\"PartitionKey\":"}}, {},
         "table B returned an entity that is not JSON", 1, 0},
        {"page that cannot be read", {{entity("p", "1")}, {"FAIL"}}, {{entity("p", "1"), entity("p", "2")}}, {},
         "page 1 of A failed", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string fetches;
        auto result = compareTables("A", [&] { return pagesOf(c.a, "A", fetches); }, "B",
                                    [&] { return pagesOf(c.b, "B", fetches); }, 100);
        EXPECT_EQ(result.listed, c.differences);
        EXPECT_EQ(result.differences, c.differences.size());
        EXPECT_EQ(result.complete, c.error.empty());
        EXPECT_EQ(result.outOfOrder, c.error.find("out of key order") != std::string::npos);
        EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
        EXPECT_EQ(result.entitiesA, c.entitiesA);
        EXPECT_EQ(result.entitiesB, c.entitiesB);
        EXPECT_EQ(result.order, c.order);
    }
}

TEST(CompareTableStreams, FetchesEachPageOnlyWhenTheMergeNeedsItAndListsTheFirstDifferences) {
    Pages a, b;
    for (int i = 0; i < 4; ++i) a.push_back({entity("p", std::to_string(i))});
    b.push_back({entity("p", "0", ""), entity("p", "1", ""), entity("p", "2", "")});
    b.push_back({entity("p", "3", "")});
    std::string fetches;
    auto result = compareTableStreams("A", pagesOf(a, "A", fetches), "B", pagesOf(b, "B", fetches), 2,
                                      AzureTableKeyOrder::Utf8Bytes);
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(fetches, "ABAAAB");
    EXPECT_EQ(result.differences, 4u);
    EXPECT_EQ(result.listed,
              (std::vector<std::string>{
                  "differs (PartitionKey 'p', RowKey '0') property v: A has Edm.Int32 1, B has (missing)",
                  "differs (PartitionKey 'p', RowKey '1') property v: A has Edm.Int32 1, B has (missing)"}));
}

}  // namespace
