#include <gtest/gtest.h>

#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/log/DebugLog.h"
#include "platform/runtime/Runtime.h"
#include "support/TempFolder.h"

#include <fstream>
#include <sstream>

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

// Only the start of a long message is scrubbed and written, and a secret at the cut or past it
// still never reaches the file. An environment that writes only the debug log says whether it
// is open at the debug level, so callers can skip building lines nobody reads.
TEST(DebugLog, LongLinesAreCutAndScrubbedWhereverTheSecretStands) {
    testing_support::TempFolder folder;
    platform::Runtime runtime;
    runtime.log().registerSecret("c2VjcmV0LWtleS12YWx1ZQ==");
    IdaLoggingEnvironment env("job", runtime);
    EXPECT_FALSE(env.logEnabled());
    runtime.log().setFile(folder.file("debug.log"));
    EXPECT_FALSE(env.logEnabled()) << "request bodies are for a log at the debug level";
    runtime.log().setLevel(3);
    EXPECT_TRUE(env.logEnabled());
    for (size_t at : {0, 4080, 4090, 4096, 5100, 5110, 5118, 5120, 9000})
        env.logMessage("f", std::string(at, 'x') + "c2VjcmV0LWtleS12YWx1ZQ== AccountKey=abcdefgh;" + std::string(6000, 'y'));
    runtime.log().setFile("");
    EXPECT_FALSE(env.logEnabled());
    std::ifstream in(folder.file("debug.log"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str().find("c2VjcmV0"), std::string::npos);
    EXPECT_EQ(text.str().find("abcdefgh"), std::string::npos);
    EXPECT_NE(text.str().find("... (6045 bytes)"), std::string::npos);
}
