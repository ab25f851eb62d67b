#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/ida/IdaLoggingEnvironment.h"
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
