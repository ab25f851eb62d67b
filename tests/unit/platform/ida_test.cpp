#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/ida/RestartPoint.h"
#include "platform/log/DebugLog.h"

TEST(DebugLog, RedactsKeysSignaturesAndAuthorization) {
    platform::log::registerSecret("c2VjcmV0LWtleS12YWx1ZQ==");
    std::string text =
        "AccountName=a;AccountKey=abc+/=;TableEndpoint=x Authorization: SharedKey acct:Zm9vYmFy\n"
        "url?sv=1&sig=AbC%2F&x=1 raw c2VjcmV0LWtleS12YWx1ZQ== tail";
    std::string out = platform::log::redact(text);
    EXPECT_EQ(out.find("abc+/="), std::string::npos) << out;
    EXPECT_EQ(out.find("Zm9vYmFy"), std::string::npos) << out;
    EXPECT_EQ(out.find("AbC%2F"), std::string::npos) << out;
    EXPECT_EQ(out.find("c2VjcmV0LWtleS12YWx1ZQ=="), std::string::npos) << out;
    EXPECT_NE(out.find("TableEndpoint=x"), std::string::npos) << out;
    EXPECT_NE(out.find("&x=1"), std::string::npos) << out;
    EXPECT_NE(out.find("tail"), std::string::npos) << out;
}

TEST(DebugLog, LoggingEnvironmentWritesScrubbedLinesToTheFile) {
    std::string path = ::testing::TempDir() + "/debug-log-test.log";
    std::remove(path.c_str());
    platform::log::setDebugLogFile(path);
    IdaLoggingEnvironment env("job");
    env.logMessage("describeTable", "Authorization: SharedKey devstoreaccount1:c2lnbmF0dXJl");
    platform::log::setDebugLogFile("");
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_NE(content.str().find("job describeTable: Authorization: ***"), std::string::npos) << content.str();
    EXPECT_EQ(content.str().find("c2lnbmF0dXJl"), std::string::npos);
}

TEST(IdaLoggingEnvironment, ServesTheDescriptionItWasGiven) {
    IdaLoggingEnvironment env("");
    EXPECT_EQ(env.createDescriptionInput(), nullptr);
    env.putDescriptionString("{\"table\":null}");
    std::string text;
    ASSERT_TRUE(env.createDescriptionInput()->getContents(text));
    EXPECT_EQ(text, "{\"table\":null}");
    EXPECT_FALSE(env.hasFailed());
    env.reportFailure("first");
    env.reportFailure("second");
    EXPECT_TRUE(env.hasFailed());
    EXPECT_EQ(env.failureMessage(), "first");
}

TEST(RestartPoint, ParsesAndFormatsEveryForm) {
    struct Case {
        const char* text;
        bool valid;
        bool start, end;
        const char* partitionKey;
        const char* rowKey;
        const char* afterPage;  // the same text read as an output hears it after a page
    } cases[] = {
        {"", true, true, false, "", "", ":"},
        {":", true, false, true, "", "", ":"},
        {"pk:rk", true, false, false, "pk", "rk", "pk:rk"},
        {"pk:", true, false, false, "pk", "", "pk:"},
        {":rk", true, false, false, "", "rk", ":rk"},
        {"1!8!cA--:1!12!cm93+/=", true, false, false, "1!8!cA--", "1!12!cm93+/=", "1!8!cA--:1!12!cm93+/="},
        {"nocolon", false, false, false, "", "", nullptr},
        {"a:b:c", false, false, false, "", "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        RestartPoint point = RestartPoint::nextPage("untouched", "");
        ASSERT_EQ(RestartPoint::parse(c.text, point), c.valid);
        if (!c.valid) {
            EXPECT_EQ(point, RestartPoint::nextPage("untouched", ""));
            continue;
        }
        EXPECT_EQ(point.isStart(), c.start);
        EXPECT_EQ(point.isEnd(), c.end);
        EXPECT_EQ(point.partitionKey(), c.partitionKey);
        EXPECT_EQ(point.rowKey(), c.rowKey);
        EXPECT_EQ(point.toString(), c.text);  // every valid text comes back as it was
        RestartPoint heard;
        ASSERT_TRUE(RestartPoint::parseAfterPage(c.text, heard));
        EXPECT_EQ(heard.toString(), c.afterPage);
    }
    EXPECT_TRUE(RestartPoint::nextPage("", "").isEnd());
    EXPECT_EQ(RestartPoint::end().afterPageString(), "");
    EXPECT_EQ(RestartPoint::nextPage("p", "").afterPageString(), "p:");
}
