// The context's file, command and JSON helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>

#include "agent/AzureTableKeySet.h"
#include "agent/AzureTableUtil.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/KxProcess.h"
#include "support/FaultyFileSystem.h"
#include "support/TempFolder.h"

using AzureTableIDA::AzureTableUtil;
using testing_support::TempFolder;
typedef std::vector<std::vector<std::string>> Rows;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace

TEST(AgentHelpers, EditReplacesTheFirstOccurrenceOfEachSearchInOrder) {
    struct Case { std::string text; std::vector<std::string> search, replace; std::string edited; };
    const Case cases[] = {
        {"a=1\na=1\n", {"a=1"}, {"a=2"}, "a=2\na=1\n"},
        {"x", {"missing"}, {"y"}, "x"},
        {"x", {""}, {">"}, ">x"},
        {"ab", {"a", "Xb"}, {"X", "Y"}, "Y"},           // later searches see the edited text
        {"ab", {"a"}, {"b", "unused"}, "bb"},            // extra replacements are ignored
        {"ab", {"a", "b"}, {"z"}, "ab"},                 // a search without its replacement: refused
    };
    TempFolder folder;
    platform::Runtime runtime;
    AzureTableUtil util(runtime);
    for (const auto& c : cases) {
        folder.write("agent.conf", c.text);
        ::chmod(folder.file("agent.conf").c_str(), 0640);
        auto search = c.search, replace = c.replace;
        CTnError error = util._EditConfFileContents(folder.file("agent.conf"), search, replace);
        EXPECT_EQ(error.isError(), c.replace.size() < c.search.size()) << c.text << ": " << error.toString();
        EXPECT_EQ(folder.read("agent.conf"), c.edited);
        EXPECT_EQ(modeOf(folder.file("agent.conf")), 0640u);
    }
    std::vector<std::string> search{"a"}, replace{"b"};
    CTnError missing = util._EditConfFileContents(folder.file("missing.conf"), search, replace);
    EXPECT_EQ(missing.getCode(), 1627);
    EXPECT_EQ(missing.getMessage(), "failed to open file [" + folder.file("missing.conf") + "] ");
}

// A failed write or sync must leave the old file whole, with no temp file beside it; a file
// reached through a symbolic link stays behind that link.
TEST(AgentHelpers, EditAndPutLinesNeverCutTheOldFileShort) {
    TempFolder folder;
    platform::Runtime runtime;
    testing_support::FaultyFileSystem faulty;
    runtime.setFileSystem(&faulty);
    AzureTableUtil util(runtime);
    const std::string old = "key=old\nother=1\n";
    const std::function<void()> faults[] = {[&] { faulty.failWriteNumber(1, true); },
                                            [&] { faulty.failSyncNumber(1); }};
    const std::function<bool(const std::string&)> writers[] = {
        [&](const std::string& path) {
            std::vector<std::string> search{"old"}, replace{"new"};
            return util._EditConfFileContents(path, search, replace).isSuccess();
        },
        [&](const std::string& path) { return util.putLines(path, "=", Rows{{"key", "new"}}); },
    };
    for (const auto& write : writers) {
        for (const auto& fault : faults) {
            folder.write("agent.conf", old);
            fault();
            EXPECT_FALSE(write(folder.file("agent.conf")));
            EXPECT_EQ(folder.read("agent.conf"), old);
            std::vector<std::string> names;
            std::string error;
            ASSERT_TRUE(platform::store::posixFileSystem().listDirectory(folder.path(), names, error));
            EXPECT_EQ(names, std::vector<std::string>{"agent.conf"});
        }
        ASSERT_EQ(::symlink(folder.file("agent.conf").c_str(), folder.file("link.conf").c_str()), 0);
        EXPECT_TRUE(write(folder.file("link.conf")));
        EXPECT_EQ(folder.read("agent.conf").find("key=new"), 0u);
        struct stat link;
        EXPECT_TRUE(::lstat(folder.file("link.conf").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
        ::unlink(folder.file("link.conf").c_str());
    }
}

TEST(AgentHelpers, LineFilesRoundTripAndAMissingFileReadsEmpty) {
    TempFolder folder;
    platform::Runtime runtime;
    AzureTableUtil util(runtime);
    ASSERT_TRUE(util.putLines(folder.file("rows"), ",", Rows{{"a", "b"}, {}, {"c"}}));
    EXPECT_EQ(folder.read("rows"), "a,b\n\nc\n");
    EXPECT_EQ(modeOf(folder.file("rows")), 0600u) << "a new file is private";
    Rows rows{{"kept"}};
    ASSERT_TRUE(util.splitLines(folder.file("rows"), ",", rows));
    EXPECT_EQ(rows, (Rows{{"kept"}, {"a", "b"}, {""}, {"c"}}));

    EXPECT_TRUE(util.splitLines(folder.file("missing"), ",", rows));
    EXPECT_EQ(rows.size(), 4u);
    EXPECT_FALSE(util.putLines(folder.file("no-such-folder/rows"), ",", rows));
}

TEST(AgentHelpers, JsonGettersFallBackToDefaultsWithTheirTraces) {
    json_spirit::Value parsed;
    ASSERT_TRUE(json_spirit::read(R"({"s":"text","b":true,"n":"5","i":-3,"u":18446744073709551615,
        "z":null,"o":{"k":1},"a":[1,2]})", parsed));
    const json_spirit::Object& object = parsed.get_obj();
    platform::Runtime runtime;
    AzureTableUtil util(runtime);
    util.traceToStdout = true;
    struct Case { std::function<std::string()> get; std::string value, trace; };
    const Case cases[] = {
        {[&] { return util.GetStringValue(object, "s"); }, "text", "Looking for the key= s\n"},
        {[&] { return util.GetStringValue(object, "i"); }, "", "Looking for the key= i\nkey value pair iValue "},
        {[&] { return std::to_string(util.GetBoolean(object, "k")); }, "0", "key value pair not foundk \n"},
        {[&] { return std::to_string(util.GetIntValue(object, "i")); }, "-3", ""},
        {[&] { return std::to_string(util.GetIntValue(object, "n")); }, "0", "key value pairnValue "},
        {[&] { return std::to_string(util.GetIntValue(object, "z")); }, "0", ""},
        {[&] { return std::to_string(util.GetIntValue(object, "u")); }, "0", "key value pairuValue "},
        {[&] { return std::to_string(util.GetUInt64Value(object, "u")); }, "18446744073709551615", ""},
        {[&] { return std::to_string(util.GetUInt64Value(object, "i")); }, "0", "key value pairiValue "},
        {[&] { return std::to_string(util.GetUInt64Value(object, "k")); }, "0", "key value pair not found k \n"},
        {[&] { return std::to_string(util.GetObjectValue(object, "o").size()); }, "1", ""},
        {[&] { return std::to_string(util.GetArrayValue(object, "a").size()); }, "2", ""},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.get(), c.value) << c.trace;
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed.substr(0, c.trace.size()), c.trace);
        if (c.trace.find("Value ") != std::string::npos) EXPECT_EQ(printed.back(), '\n');
        else EXPECT_EQ(printed, c.trace);
    }
}

TEST(AgentHelpers, DescriptionTextThatIsNotAnObjectGivesANullDescription) {
    platform::Runtime runtime;
    AzureTableUtil util(runtime);
    struct Case { std::string text, tableName; rapidjson::Type type; };
    const Case cases[] = {
        {" {\"value\":{\"odata.metadata\":\"m\",\"TableName\":\"t1\"}} \n", "t1", rapidjson::kObjectType},
        {"{\"other\":1}", "", rapidjson::kNullType},
        {"not json", "", rapidjson::kNullType},
        {"[{\"value\":{\"TableName\":\"t1\"}}]", "", rapidjson::kNullType},
        {"\"value\"", "", rapidjson::kNullType},
        {"{\"value\":[1]}", "", rapidjson::kArrayType},
    };
    for (const auto& c : cases) {
        auto description = util.parseDescriptionJson(c.text);
        ASSERT_TRUE(description) << c.text;
        EXPECT_EQ(description->tableName, c.tableName) << c.text;
        EXPECT_EQ(description->document.GetType(), c.type) << c.text;
    }
    EXPECT_EQ(util.parseDescriptionJson(cases[0].text)->toDescriptionJson(),
              "{\"table\":{\"odata.metadata\":\"m\",\"TableName\":\"t1\"}}");
}

TEST(AgentHelpers, ExecCmdJoinsTheErrorStreamAndQuotedNamesStayLiteral) {
    platform::Runtime runtime;
    AzureTableUtil util(runtime);
    std::string out, err;
    EXPECT_EQ(util.ExecCmd("sh -c 'echo fault >&2; exit 4'", out, err, false), 4);
    EXPECT_EQ(out, "fault\n");
    const std::string table = "t1'; echo injected; '";
    EXPECT_EQ(util.ExecCmd("echo " + platform::shellQuote(table), out, err, false), 0);
    EXPECT_EQ(out, table + "\n");
}

// The filter between the chunks and a replay: lines split anywhere between blocks come out whole,
// only the keys the set holds pass, what is no entity passes (the replay refuses it), and the
// keys left out are remembered once each.
TEST(KeySetFilter, PassesWhatTheSetHoldsWhereverTheBlocksEnd) {
    AzureTableIDA::KeySet keys;
    keys.add("p", "kept");
    keys.add("p|q", "r");
    EXPECT_FALSE(keys.contains("p", "r") || keys.contains("r", "p") || keys.contains("p|", "qr"));
    const std::string input =
        "{\"PartitionKey\":\"p\",\"RowKey\":\"kept\",\"V\":1}\n"
        "{\"PartitionKey\":\"p\",\"RowKey\":\"gone\",\"V\":\"a\\nb\"}\n"
        "not an entity\n"
        "{\"RowKey\":\"kept\",\"PartitionKey\":\"p|q\"}\n"
        "{\"PartitionKey\":\"p\",\"RowKey\":\"gone\",\"V\":2}\n";
    const std::string expected =
        "{\"PartitionKey\":\"p\",\"RowKey\":\"kept\",\"V\":1}\nnot an entity\n";
    for (size_t block : {size_t(1), size_t(7), input.size()}) {
        SCOPED_TRACE(block);
        AzureTableIDA::KeySetFilter filter(keys, true);
        std::string out;
        for (size_t at = 0; at < input.size(); at += block) filter.filter(input.data() + at, std::min(block, input.size() - at), out);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(filter.pending(), 0u);
        EXPECT_EQ(filter.leftOut(), 3u);
        const std::set<std::pair<std::string, std::string>> left = {{"p", "gone"}, {"p|q", "kept"}};
        EXPECT_EQ(filter.leftOutKeys(), left);
    }
}
