#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

#include "table_service/TableServiceText.h"

using namespace table_text;

TEST(EntityScan, FindsKeysOfTheTopLevelOnly) {
    auto scan = scanEntity("{\"x\":{\"PartitionKey\":\"inner\"},\"PartitionKey\":\"p\",\"RowKey\":\"r\\u00e9\"}");
    ASSERT_TRUE(scan.isObject && scan.hasPartitionKey);
    EXPECT_EQ(scan.partitionKey + "|" + scan.rowKey, "p|r\xC3\xA9");
    // The first member of a name decides, as a DOM look-up would.
    auto numeric = scanEntity("{\"PartitionKey\":1,\"PartitionKey\":\"late\"}");
    EXPECT_TRUE(numeric.isObject && !numeric.hasPartitionKey);
    for (const std::string text : {"[{\"PartitionKey\":\"p\"}]", "{\"PartitionKey\":\"p\"} trailing", "{PartitionKey:\"p\"}"})
        EXPECT_FALSE(scanEntity(text).isObject) << text;
    EXPECT_FALSE(scanEntity(std::string("{\"PartitionKey\":\"p\"}\0{}", 23)).isObject);
}

// scanEntity's own pass over backup lines and the library's reader agree on every text: the
// lines the pass reads, and those it must leave to the reader (valid or not).
TEST(EntityScan, TheQuickPassAndTheReaderAgree) {
    const std::string line =
        "{\"PartitionKey\":\"p\",\"RowKey\":\"r\",\"Timestamp\":\"2024-01-01T00:00:00Z\",\"s\":\"a\\\"b\\\\c\\/\\n\","
        "\"i\":-12,\"z\":0,\"d\":-0.5,\"d\":2.25,\"d@odata.type\":\"Edm.Double\",\"e\":1.0,\"b\":true,\"c\":false,\"n\":null}";
    for (const std::string& text : std::vector<std::string>{
             line, "{}", "{\"PartitionKey\":1,\"PartitionKey\":\"late\",\"RowKey\":\"r\",\"RowKey\":\"s\"}",
             "{\"PartitionKey\":\"caf\\u00e9\",\"RowKey\":\"q\\\"r\"}", "{\"a\\u0041\":1.5}", "{\"x\":1e5,\"y\":2.5E-3}",
             "{\"x\":{\"PartitionKey\":\"inner\"},\"PartitionKey\":\"outer\"}", "{ \"PartitionKey\" : \"spaced\" }",
             "{\"x\":\"" + std::string(300, '9') + "\"}", "{\"x\":" + std::string(400, '9') + "}",
             "{\"x\":0." + std::string(400, '9') + "}", "{\"" + std::string(40, 'k') + "\":\"" + std::string(20, 'v') + "\\n" + std::string(20, 'v') + "\"}",
             "{\"a\":\"" + std::string(17, 'v') + "\\u0041\"}", "{\"" + std::string(33, 'k') + "\\\"\":1}",
             // Not entities.
             "", "{", "{\"a\":1", "{\"a\":1,}", "{,}", "{\"a\" 1}", "{\"a\":01}", "{\"a\":-}", "{\"a\":1.}", "{\"a\":.5}",
             "{\"a\":+1}", "{\"a\":tru}", "{\"a\":nul}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12\"}", "{\"a\":\"\\ud800\"}",
             "{\"a\":\"tab\there\"}", "{\"a\":\"" + std::string(17, 'v') + "\t\"}", "{\"a\":\"" + std::string(40, 'v') + "}", "{\"a\":1}x", "{\"a\":1} ", "[1]", "{a:1}", std::string("{\"a\":\"\0\"}", 8),
             std::string("{\"a\":1}\0", 8), "{\"a\":1e999}", "{\"a\":\"unterminated}",
         }) {
        EntityScan quick, reader;
        scanEntity(text.data(), text.size(), quick);
        scanEntityByReader(text.data(), text.size(), reader);
        EXPECT_EQ(quick.isObject, reader.isObject) << text;
        EXPECT_EQ(std::make_pair(quick.hasPartitionKey, quick.partitionKey), std::make_pair(reader.hasPartitionKey, reader.partitionKey)) << text;
        EXPECT_EQ(std::make_pair(quick.hasRowKey, quick.rowKey), std::make_pair(reader.hasRowKey, reader.rowKey)) << text;
        EXPECT_EQ(quick.typeAnnotations, reader.typeAnnotations) << text;
        EXPECT_EQ(quick.floatingNumbers, reader.floatingNumbers) << text;
    }
    const std::string annotated = annotateDoubles(line, scanEntity(line));
    EXPECT_EQ(annotated.substr(annotated.find("\"e\":")),
              "\"e\":1.0,\"e@odata.type\":\"Edm.Double\",\"b\":true,\"c\":false,\"n\":null}");
}

// The partition group of a text is its partition key wherever the text is an entity, whether
// the quick look at a backup line finds it or the full scan has to; key literals for URLs are
// quote-doubled and percent-encoded however they are built.
TEST(EntityScan, PartitionGroupsAreThePartitionKeys) {
    for (const std::string text : {
             "{\"odata.etag\":\"W/1\",\"PartitionKey\":\"p 1\",\"RowKey\":\"r\"}",
             "{\"PartitionKey\":\"\",\"RowKey\":\"r\"}",
             "{\"PartitionKey\":\"caf\\u00e9\"}",
             "{\"PartitionKey\":\"q\\\"uote\"}",
             "{\"x\":{\"PartitionKey\":\"inner\"},\"PartitionKey\":\"outer\"}",
             "{\"x\":[\"PartitionKey\"],\"PartitionKey\":\"after\"}",
             "{\"PartitionKey\":1,\"PartitionKey\":\"late\"}",
             "{\"s\":\"a\\\",\\\"PartitionKey\\\":\\\"fake\",\"PartitionKey\":\"real\"}",
             "{ \"PartitionKey\" : \"spaced\" }",
             "{\"RowKey\":\"only\"}",
             "{\"Partition\\u004bey\":\"escaped name\",\"PartitionKey\":\"second\"}",
             "{\"odata.etag\":\"W/\\\"datetime'2024-01-01T00%3A00%3A00.1Z'\\\"\",\"n\":-1.5,\"b\":true,\"PartitionKey\":\"after values\"}",
             "{\"s\":\"\\\\\",\"PartitionKey\":\"after a backslash\"}",
             "{\"n\":[1],\"PartitionKey\":\"after a list\"}",
             "{\"PartitionKey\":\"p\\u0041\"}",
             "{\"PartitionKey\":\"cut",
             "{\"s\":\"tab\there\",\"PartitionKey\":\"x\"}",
         })
        EXPECT_EQ(partitionGroupOf(text), partitionKeyOf(text)) << text;
    for (const std::string key : {"", "plain-._~09AZaz", "it's", "''", "50% off +&x=\xC3\xA9/?#"})
        EXPECT_EQ(keyLiteral(key), percentEncode([&] {
                      std::string doubled;
                      for (char c : key) doubled += c == '\'' ? std::string("''") : std::string(1, c);
                      return doubled;
                  }())) << key;
}

TEST(DoubleAnnotation, AddsTheTypeOnlyWhereTheNumberWouldLoseIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"a\":1.0,\"b\":-1E-5}", "{\"a\":1.0,\"a@odata.type\":\"Edm.Double\",\"b\":-1E-5,\"b@odata.type\":\"Edm.Double\"}"},
        // Existing annotations count wherever they stand, and white space is left as it was.
        {"{\"a@odata.type\":\"Edm.Double\", \"a\" : 1.0 , \"b\" : 2E3 }",
         "{\"a@odata.type\":\"Edm.Double\", \"a\" : 1.0 , \"b\" : 2E3,\"b@odata.type\":\"Edm.Double\" }"},
        {"{\"q\\\"k\":0.5}", "{\"q\\\"k\":0.5,\"q\\\"k@odata.type\":\"Edm.Double\"}"},
        {"{\"n\":{\"inner\":0.5},\"l\":[2.5]}", "{\"n\":{\"inner\":0.5},\"l\":[2.5]}"},
        {"{\"d\":0.5,\"d\":1.5}", "{\"d\":0.5,\"d@odata.type\":\"Edm.Double\",\"d\":1.5}"},
    };
    for (const auto& c : cases) EXPECT_EQ(annotateDoubles(c.first, scanEntity(c.first)), c.second);
}

TEST(CompactRewrite, KeepsEveryNumberDigitForDigit) {
    std::string out;
    ASSERT_TRUE(rewriteCompact("{ \"a\" : 1.50 , \"b\":1E+300, \"c\":18446744073709551616, \"d\":-0, \"e\":\"\\u0041\" }", out));
    EXPECT_EQ(out, "{\"a\":1.50,\"b\":1E+300,\"c\":18446744073709551616,\"d\":-0,\"e\":\"A\"}");
    EXPECT_FALSE(rewriteCompact("{\"a\":1", out));
    EXPECT_FALSE(rewriteCompact("{} {}", out));
}

// A page whose elements are all compact is copied line by line from the reply; any other page is
// written by the writer. Either way the lines are the writer's bytes, and the continuation and
// the count are the same.
TEST(PageLines, CopiedOnlyWhereTheCopyIsTheWritersRendering) {
    struct Case {
        std::string elements;
        bool copied;
    };
    std::vector<Case> cases = {
        {R"({"odata.etag":"W/\"datetime'2024-01-01T00%3A00%3A00.1234567Z'\"","PartitionKey":"p","RowKey":"r1",)"
         R"("s":"text","i":42,"l":"9007199254740993","l@odata.type":"Edm.Int64","d":1.50,"b":true,"n":null})", true},
        {R"({"a":[1,{"b":null},true,false,[],{}],"o":{"x":{"y":[-0,1E+300,1e-7,18446744073709551616,-2.5e-3]}}})", true},
        {"{\"s\":\"caf\xC3\xA9 \xE6\x9D\xB1 \xF0\x9F\x98\x80\",\"\xC3\xA9\":\"\"}", true},
        {R"({"s":"t\tn\n\"q\\b\b\f\r\u0001\u001F","k\"\\ey":1},{"e":"\"","f":"\\\\\\"})", true},
        {R"({},[],[1,"a",{}],{"a":{}})", true},
        {R"({"a":1} , {"b":2}   ,{"c":3})", true},  // white space between elements is not theirs
        {R"({ "a":1})", false}, {R"({"a" :1})", false}, {R"({"a": 1})", false}, {R"({"a":1 })", false},
        {R"({"a":[1 ,2]})", false}, {R"({"a":[ ]})", false}, {R"({"a":"x" ,"b":1})", false},
        {R"({"a":"x\"" ,"b":1})", false}, {R"({"a":"x\"","b":1 })", false}, {"{\"a\":\t1}", false},
        {R"({"s":"\/"})", false}, {R"({"s":"\u00e9"})", false}, {R"({"s":"\u001f"})", false},
        {R"({"s":"\u000a"})", false}, {R"({"k\u0041":1})", false}, {R"({"s":"\ud83d\ude00"})", false},
        {R"({"s":"\u0022"})", false}, {R"({"s":"\u0008"})", false}, {R"({"s":"\u000C"})", false},
        {R"({"a":"x\"" })", false}, {R"({"s":"\u000B\u0000\u001F","t":"\\"})", true},
        {R"("no object")", false}, {"7", false}, {"true", false}, {R"({"a":1},null)", false},
        {R"({"a":1},{"b":2},{ "c":3})", false},  // only the last is not compact: no line twice
    };
    // Every byte the writer escapes, as it escapes it, and with the hex in lower case.
    std::string escapes, lowerHex;
    for (char c = 0; c < 0x20; ++c) escapes += c;
    escapes += "\"\\/";
    escapes = "{\"all\":" + jsonString(escapes) + "}";
    for (const char* hex : {"\\u000b", "\\u001a", "\\u001f"}) lowerHex += std::string(",{\"s\":\"") + hex + "\"}";
    cases.push_back({escapes, true});
    cases.push_back({lowerHex.substr(1), false});
    for (const auto& c : cases) {
        const std::string page = std::string("{\"odata.metadata\":\"m\",\"value\":[") + c.elements +
                                 "],\"x-ms-continuation-NextPartitionKey\":\"1!k\"}";
        rapidjson::StringBuffer copied, written;
        PageScan fast, slow;
        ASSERT_TRUE(streamPage(page.data(), page.size(), copied, fast, "x-ms-continuation-NextPartitionKey", "r"))
            << c.elements;
        ASSERT_TRUE(streamPage(page.data(), page.size(), written, slow, "x-ms-continuation-NextPartitionKey", "r",
                               PageWriting::Writer));
        EXPECT_EQ(std::string(copied.GetString(), copied.GetSize()), std::string(written.GetString(), written.GetSize()))
            << c.elements;
        EXPECT_EQ(fast.verbatim, c.copied) << c.elements;
        EXPECT_FALSE(slow.verbatim);
        EXPECT_EQ(fast.entities, slow.entities) << c.elements;
        EXPECT_EQ(fast.nextPartitionKey, "1!k");
    }
    // A reply that is no page (or no JSON) is refused by both ways.
    for (const char* text : {R"({"value":[{"a":1},{"b":]})", R"({"value":[{"a":1}]} x)", R"({"value":{"a":1}})"}) {
        rapidjson::StringBuffer lines;
        PageScan scan;
        EXPECT_FALSE(streamPage(text, std::strlen(text), lines, scan, "p", "r")) << text;
        EXPECT_FALSE(streamPage(text, std::strlen(text), lines, scan, "p", "r", PageWriting::Writer)) << text;
    }
}

// streamPage's own pass and the reader's pass agree on every text: a page the own pass takes
// gives the reader's lines byte for byte, the same count and continuation; any other text (in
// another shape, or no page at all) is left as it was for the reader to decide.
TEST(PageLines, TheOwnScanGivesWhatTheReaderGives) {
    const char* const P = "x-ms-continuation-NextPartitionKey";
    const char* const R = "x-ms-continuation-NextRowKey";
    auto agree = [&](const std::string& page) {
        const std::vector<char> text(page.begin(), page.end());  // no terminator to lean on
        rapidjson::StringBuffer own, fast, read;
        own.Put('>');
        PageScan ownScan, fastScan, readScan;
        const bool took = scanCompactPage(text.data(), text.size(), own, ownScan, P, R);
        const bool isPage = streamPage(text.data(), text.size(), read, readScan, P, R, PageWriting::Reader);
        std::vector<char> changed = text;
        const char* inPlace = nullptr;
        size_t inPlaceSize = 0;
        EXPECT_EQ(scanCompactPageInPlace(changed.data(), changed.size(), fastScan, P, R, inPlace, inPlaceSize), took) << page;
        EXPECT_EQ(took ? ">" + std::string(inPlace, inPlaceSize) : std::string(changed.begin(), changed.end()),
                  took ? std::string(own.GetString(), own.GetSize()) : page);
        EXPECT_EQ(streamPage(text.data(), text.size(), fast, fastScan, P, R), isPage) << page;
        EXPECT_TRUE(!isPage || std::string(fast.GetString(), fast.GetSize()) == std::string(read.GetString(), read.GetSize()))
            << page;
        EXPECT_EQ(fastScan.isObject, readScan.isObject) << page;
        if (!took) {
            EXPECT_EQ(std::string(own.GetString(), own.GetSize()), ">") << page;
            return false;
        }
        EXPECT_TRUE(isPage) << page;
        EXPECT_EQ(std::string(own.GetString(), own.GetSize()), ">" + std::string(read.GetString(), read.GetSize())) << page;
        EXPECT_TRUE(ownScan.isObject && ownScan.verbatim);
        EXPECT_EQ(ownScan.entities, readScan.entities) << page;
        EXPECT_EQ(std::make_tuple(ownScan.hasNextPartitionKey, ownScan.nextPartitionKey, ownScan.hasNextRowKey, ownScan.nextRowKey),
                  std::make_tuple(readScan.hasNextPartitionKey, readScan.nextPartitionKey, readScan.hasNextRowKey, readScan.nextRowKey))
            << page;
        return true;
    };
    const std::string entity =
        "{\"odata.etag\":\"W/\\\"datetime'2026-12-06T06%3A49%3A18.8963732Z'\\\"\",\"PartitionKey\":\"p0001\",\"RowKey\":"
        "\"r01\",\"Timestamp\":\"2026-12-06T06:49:18.8963732Z\",\"name\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\",\"count\":-7,"
        "\"big@odata.type\":\"Edm.Int64\",\"big\":\"9007199254700001\",\"ratio\":1.25,\"flag\":true,\"n\":null,\"f\":false,"
        "\"c\":\"\\u0001\\t\\\\\",\"k\\\"\":0}";
    const std::string head = "{\"odata.metadata\":\"http://h/$metadata#t\",\"value\":[";
    const std::string tail = "],\"" + std::string(P) + "\":\"1!8!cDAwMDE-\",\"" + R + "\":\"1!8!cjAy\"}";
    const std::string page = head + entity + ",{}," + entity + tail;
    struct Case {
        std::string page;
        bool own;  // the own pass takes it
    };
    const std::vector<Case> cases = {
        {page, true}, {" \r\n\t" + page + "\n", true}, {head + tail, true}, {head + "{}]}", true},
        {"{\"n\":1,\"value\":[{\"x\":1}],\"value\":2,\"" + std::string(P) + "\":7,\"" + P + "\":\"late\",\"t\":true}", true},
        {"{\"" + std::string(R) + "\":\"r\",\"" + R + "\":\"s\",\"value\":[]}", true},
        {head + "{\"a\":0,\"b\":-0,\"c\":10.05,\"d\":1e5,\"e\":-2.5E+308,\"f\":1E-9999,\"g\":18446744073709551616}]}", true},
        // Valid, in another shape: the reader decides.
        {head + "{\"a\": 1}]}", false}, {head + "{\"a\":1} ,{\"b\":2}]}", false}, {head + "{\"a\":[1]}]}", false},
        {head + "{\"a\":{}}]}", false}, {head + "{\"s\":\"\\/\"}]}", false}, {head + "{\"s\":\"\\u00e9\"}]}", false},
        {head + "{\"s\":\"\\u001f\"}]}", false}, {head + "{\"s\":\"\\u000A\"}]}", false}, {head + "1,{}]}", false},
        {head + "{\"a\":1E309}]}", false}, {head + "{\"a\":" + std::string(201, '1') + "}]}", false},
        {"{\"" + std::string(P) + "\":\"a\\\"b\",\"value\":[]}", false}, {"{\"valu\\u0065\":[],\"value\":[]}", false},
        {"{\"value\":[],\"value\":[{}]}", false}, {"{\"x\":{},\"value\":[]}", false}, {head + "[]]}", false},
        // Not pages.
        {"{\"value\":{}}", false}, {"{\"value\":1}", false}, {"{}", false}, {"[]", false}, {"", false},
        {head + "{}]} {}", false}, {head + "{\"a\":01}]}", false}, {head + "{\"a\":1.}]}", false},
        {head + "{\"a\":1e}]}", false}, {head + "{\"a\":-}]}", false}, {head + "{\"a\":\"\\x\"}]}", false},
        {head + "{\"a\":\"\t\"}]}", false}, {head + "{\"a\":tru}]}", false}, {head + "{\"a\":1,}]}", false},
        {head + "{},]}", false}, {head + "{\"a\"}]}", false},
    };
    for (const auto& c : cases) EXPECT_EQ(agree(c.page), c.own) << c.page;
    // Every byte of a page changed, and the page cut after every byte.
    size_t taken = 0;
    for (size_t i = 0; i < page.size(); ++i) {
        for (char b : std::string(" \"\\,:{}[]0e.-+tu/\x1F\x80") + std::string(1, '\0')) {
            std::string changed = page;
            changed[i] = b;
            taken += agree(changed);
        }
        agree(page.substr(0, i));
    }
    EXPECT_GT(taken, page.size());  // the changes that keep the shape are still the own pass's
}

// The client-level cases (refused change set, cut, empty, too few or too many) are in batch_test.
TEST(BatchReply, ConfirmsOnlyOneSuccessPerOperation) {
    EXPECT_TRUE(batchReplyConfirms("--b\nHTTP/1.1 204 No Content\n\n--b\nHTTP/1.1 201 Created\n--b--\n", 2));
    EXPECT_TRUE(batchReplyConfirms("HTTP/1.1 202 Accepted\n{\"text\":\"HTTP/1.1 400\"}\n", 1));  // a status in a body is none
    for (const char* body : {"--b\nHTTP/1.1 204 No Content\n--b\nHTTP/1.1 409 Conflict\n", "HTTP/1.1 2\nHTTP/1.1 204\n"})
        EXPECT_FALSE(batchReplyConfirms(body, 2)) << body;
}
