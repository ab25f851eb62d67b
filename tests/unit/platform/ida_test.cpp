#include <gtest/gtest.h>

#include "platform/ida/IdaLoggingEnvironment.h"
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
