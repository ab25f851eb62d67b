// The small platform pieces the agent code stands on: splitting, path joining, directory
// creation, error values and the process log writer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/log/EvDebug.h"
#include "platform/log/LogWriter.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/CTnError.h"
#include "platform/util/FXString.h"
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
