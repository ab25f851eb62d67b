#include <gtest/gtest.h>

#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/ida/RestartPoint.h"
#include "platform/log/DebugLog.h"
#include "platform/runtime/Runtime.h"

TEST(DebugLog, RedactsKeysSignaturesAndAuthorization) {
    platform::log::registerSecret("c2VjcmV0LWtleS12YWx1ZQ==");
    std::string text =
        "AccountName=a;AccountKey=abc+/=;TableEndpoint=x Authorization: SharedKey acct:Zm9vYmFy\n"
        "url?sv=1&sig=AbC%2F&x=1 raw c2VjcmV0LWtleS12YWx1ZQ== tail";
    std::string out = platform::log::redact(text);
    for (const char* hidden : {"abc+/=", "Zm9vYmFy", "AbC%2F", "c2VjcmV0LWtleS12YWx1ZQ=="})
        EXPECT_EQ(out.find(hidden), std::string::npos) << out;
    for (const char* kept : {"TableEndpoint=x", "&x=1", "tail"}) EXPECT_NE(out.find(kept), std::string::npos) << out;
}

// Each runtime scrubs its own secrets (its own file: BackupJobTest.TwoJobsOnTwoRuntimes...); a
// logging environment keeps the first failure reported to it.
TEST(DebugLog, EachRuntimeScrubsItsOwnSecrets) {
    platform::Runtime a, b;
    a.log().registerSecret("c2VjcmV0LWE=");
    EXPECT_EQ(a.log().redact("key c2VjcmV0LWE="), "key ***");
    EXPECT_EQ(b.log().redact("key c2VjcmV0LWE="), "key c2VjcmV0LWE=");
    IdaLoggingEnvironment onA("job-a", a);
    onA.reportFailure("first");
    onA.reportFailure("second");
    EXPECT_EQ(onA.failureMessage(), "first");
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
