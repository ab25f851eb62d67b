// The small platform pieces the agent code stands on: splitting, path joining, directory
// creation, error values, the process log writer, the process runner and the JSON value model.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <stdexcept>

#include "platform/json_spirit/json_spirit.h"

#include "platform/log/EvDebug.h"
#include "platform/log/LogWriter.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/CTnError.h"
#include "platform/util/FXString.h"
#include "platform/util/KxProcess.h"
#include "support/TempFolder.h"

using testing_support::TempFolder;

TEST(FXString, SplitKeepsEveryFieldAndPathsJoinWithOneSeparator) {
    struct Case { std::string text, separator; std::vector<std::string> fields; };
    const Case cases[] = {
        {"/acct/tab/F40/data-1", "/", {"", "acct", "tab", "F40", "data-1"}},
        {"2:17", ":", {"2", "17"}},
        {"2:17:5", ":", {"2", "17", "5"}},
        {"a\t\tb\t", "\t", {"a", "", "b", ""}},
        {"", ":", {""}},
        {"no-separator", "", {"no-separator"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> fields{"stale"};
        EXPECT_EQ(FXString::Split(c.text, c.separator, fields, 0), static_cast<int>(c.fields.size())) << c.text;
        EXPECT_EQ(fields, c.fields) << c.text;
    }
    EXPECT_EQ(FXPath::Append("/var/jr/", "/KX_JobResults"), "/var/jr/KX_JobResults");
    EXPECT_EQ(FXPath::Append("/", "x"), "/x");
    EXPECT_EQ(FXPath::Append("", "x"), "x");
    EXPECT_EQ(FXPath::Append("a", ""), "a");
}

TEST(CTnDirectory, CreatesParentsPrivatelyAndReportsAFileInTheWay) {
    TempFolder folder;
    const std::string deep = folder.file("a/b/c");
    EXPECT_EQ(CTnDirectory::Create(deep, false), -ENOENT);
    ASSERT_EQ(CTnDirectory::Create(deep, true), 0);
    EXPECT_EQ(CTnDirectory::Create(deep, true), 0) << "an existing directory is success";
    struct stat info;
    ASSERT_EQ(::stat(deep.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    folder.write("file", "x");
    EXPECT_LT(CTnDirectory::Create(folder.file("file/sub"), true), 0);
    EXPECT_LT(CTnDirectory::Create(folder.file("file"), true), 0);
}

TEST(CTnError, CarriesCodeMessageAndEveryLocation) {
    CTnError none;
    EXPECT_FALSE(none.isError());
    EXPECT_FALSE(FXErrorUtil::ErrorKXResult(CTN_LOCATION, none).isError());

    CTnError error = FXErrorUtil::ErrorWin32(CTN_LOCATION, 1168, "Metadata not found for %s", "a:t1");
    CTnError passed = FXErrorUtil::ErrorKXResult(CTN_LOCATION, error);
    EXPECT_TRUE(passed.isError());
    EXPECT_EQ(passed.getCode(), 1168);
    EXPECT_EQ(passed.getMessage(), "Metadata not found for a:t1");
    ASSERT_EQ(passed.locations().size(), 2u);
    EXPECT_EQ(passed.locations()[0].file, "agent_platform_test.cpp");
    EXPECT_NE(passed.toString().find("not found"), std::string::npos);
}

namespace {
int evaluated = 0;
const char* counted(const char* text) {
    ++evaluated;
    return text;
}
}  // namespace

TEST(LogWriter, WritesWantedLevelsWithSignatureAndLineAndScrubsKeys) {
    TempFolder folder;
    platform::Runtime runtime;
    platform::log::LogWriter writer(runtime);
    writer.setLevel(2);
    AZT_LOG_LINE(writer, 0, "%s", counted("no file open yet"));
    EXPECT_EQ(evaluated, 0) << "a line nobody reads is never formatted";

    runtime.log().setFile(folder.file("debug.log"));
    runtime.log().registerSecret("c2VjcmV0LWtleQ==");
    AZT_LOG_LINE(writer, -1, "Failed to fetch access key for account %s", "acct");
    AZT_LOG_LINE(writer, 2, "Found account %s, key %s", "acct", "c2VjcmV0LWtleQ==");
    AZT_LOG_LINE(writer, 3, "%s", counted("debug line above the level"));
    EvDebug(runtime).Error("Initialize", "Failed to obtain client name from appId %lu", 17ul);
    EvDebug(runtime).Debug("Initialize", "not written at level 2");
    EXPECT_EQ(evaluated, 0);

    const std::string log = folder.read("debug.log");
    EXPECT_NE(log.find("ERROR"), std::string::npos);
    EXPECT_NE(log.find("TestBody():"), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to fetch access key for account acct"), std::string::npos);
    EXPECT_NE(log.find("Found account acct, key ***"), std::string::npos) << log;
    EXPECT_EQ(log.find("c2VjcmV0LWtleQ=="), std::string::npos);
    EXPECT_NE(log.find("Initialize: Failed to obtain client name from appId 17"), std::string::npos) << log;
    EXPECT_EQ(log.find("not written"), std::string::npos);
}

TEST(KxProcess, CollectsBothStreamsAndTheStatusWithoutBlockingOnLargeOutput) {
    struct Case { std::string command; int status; std::string out, err; };
    const Case cases[] = {
        {"echo hi", 0, "hi\n", ""},
        {"echo oops >&2; exit 3", 3, "", "oops\n"},
        {"echo gone; kill -9 $$", 137, "gone\n", ""},
        {"read line; echo \"[$line]\"", 0, "[]\n", ""},  // standard input is empty
    };
    for (const auto& c : cases) {
        std::string out = "stale", err = "stale";
        EXPECT_EQ(KxProcess::system(c.command, out, err, 0, false), c.status) << c.command;
        EXPECT_EQ(out, c.out) << c.command;
        EXPECT_EQ(err, c.err) << c.command;
    }
    // Far more than a pipe holds, on both streams, the error stream first.
    std::string out, err;
    ASSERT_EQ(KxProcess::system("head -c 3000000 /dev/zero >&2; head -c 2000000 /dev/zero", out, err, 0, false), 0);
    EXPECT_EQ(out.size(), 2000000u);
    EXPECT_EQ(err.size(), 3000000u);

    // A command that outlives its limit is stopped with everything it started.
    EXPECT_EQ(KxProcess::system("sleep 30 & sleep 30; echo never", out, err, 100, false), -1);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("did not end within 100 ms"), std::string::npos) << err;
}

TEST(KxProcess, QuotedTextReachesTheCommandLiterally) {
    TempFolder folder;
    const std::string marker = folder.file("injected");
    const std::string texts[] = {"plain", "", "it's", "a b  c", "$(touch " + marker + ")", "`touch " + marker + "`",
                                 "'; touch " + marker + "; '", "\"$HOME\" \\ * ? ~ \n end"};
    for (const auto& text : texts) {
        std::string out, err;
        EXPECT_EQ(KxProcess::system("printf %s " + platform::shellQuote(text), out, err, 0, false), 0) << text;
        EXPECT_EQ(out, text);
    }
    EXPECT_FALSE(testing_support::pathExists(marker));
}

TEST(JsonSpirit, ReadsEveryTypeAndKeepsMembersInOrder) {
    using namespace json_spirit;
    Value value;
    ASSERT_TRUE(read(" {\"s\":\"x\\u0000y\",\"a\":[true,null,1.5],\"o\":{},\"s\":2} ", value));
    ASSERT_EQ(value.type(), obj_type);
    const Object& object = value.get_obj();
    ASSERT_EQ(object.size(), 4u);
    EXPECT_EQ(object[3].name_, "s") << "a repeated name is kept, in place";
    EXPECT_EQ(find_value(object, "s").get_str(), std::string("x\0y", 3)) << "the first one is found";
    EXPECT_TRUE(find_value(object, "missing").is_null());
    const Array& array = find_value(object, "a").get_array();
    ASSERT_EQ(array.size(), 3u);
    EXPECT_TRUE(array[0].get_bool());
    EXPECT_TRUE(array[1].is_null());
    EXPECT_EQ(array[2].get_real(), 1.5);
    EXPECT_EQ(find_value(object, "o").type(), obj_type);
    EXPECT_THROW(boost::get<bool>(object[0].value_.get_variant()), boost::bad_get);
    EXPECT_THROW(find_value(object, "s").get_int64(), boost::bad_get);
    EXPECT_THROW(find_value(object, "a").get_obj(), boost::bad_get);
}

TEST(JsonSpirit, IntegersKeepSignedAndUnsignedReadingsAndRefuseOtherWidths) {
    using namespace json_spirit;
    struct Case { std::string text; bool isUint64; bool signedFits, unsignedFits; long long asSigned; unsigned long long asUnsigned; };
    const Case cases[] = {
        {"0", false, true, true, 0, 0},
        {"-1", false, true, false, -1, 0},
        {"-9223372036854775808", false, true, false, LLONG_MIN, 0},
        {"9223372036854775807", false, true, true, LLONG_MAX, 9223372036854775807ull},
        {"9223372036854775808", true, false, true, 0, 9223372036854775808ull},
        {"18446744073709551615", true, false, true, 0, 18446744073709551615ull},
    };
    for (const auto& c : cases) {
        Value value;
        ASSERT_TRUE(read(c.text, value)) << c.text;
        EXPECT_EQ(value.type(), int_type) << c.text;
        EXPECT_EQ(value.is_uint64(), c.isUint64) << c.text;
        if (c.signedFits) EXPECT_EQ(value.get_int64(), c.asSigned) << c.text;
        else EXPECT_THROW(value.get_int64(), std::range_error) << c.text;
        if (c.unsignedFits) EXPECT_EQ(value.get_uint64(), c.asUnsigned) << c.text;
        else EXPECT_THROW(value.get_uint64(), std::range_error) << c.text;
    }
    Value big;
    ASSERT_TRUE(read("18446744073709551616", big));
    EXPECT_EQ(big.type(), real_type);
    EXPECT_THROW(Value(1.0).get_int64(), boost::bad_get) << "a real is not an integer";
}

TEST(JsonSpirit, TextThatIsNotOneJsonValueLeavesTheValueUnchanged) {
    using namespace json_spirit;
    const std::string texts[] = {"", " ", "{", "[1,]", "{} {}", "nul", "{'a':1}", "NaN", std::string("{}\0{}", 5),
                                 std::string(513, '[') + std::string(513, ']')};
    for (const auto& text : texts) {
        Value value("kept");
        EXPECT_FALSE(read(text, value)) << text.substr(0, 20);
        EXPECT_EQ(value.get_str(), "kept");
    }
    Value deep;
    EXPECT_TRUE(read(std::string(512, '[') + std::string(512, ']'), deep));
}
