#include <gtest/gtest.h>

#include "platform/util/Text.h"

// Times as a person types them for --since and --until. A time that cannot be read must never
// become "no bound".
TEST(TimeText, ReadsSecondsAndIso8601AndRefusesEverythingElse) {
    struct Case {
        const char* text;
        long long seconds;  // -1: refused
    } cases[] = {
        {"1796000000", 1796000000}, {" 0 ", 0}, {"2026-12-06T10:00:00Z", 1796551200},
        {"2026-12-06t10:00:00z", 1796551200}, {"2026-12-06T11:00:00+01:00", 1796551200},
        {"2026-12-06T05:30:00.9999-04:30", 1796551200}, {"2026-12-06", 1796515200},
        {"2024-02-29T00:00:00Z", 1709164800},
        {"1796000000000", -1},        // milliseconds by mistake
        {"2026-12-06T10:00:00", -1},  // no zone: local or UTC?
        {"2026-12-06T10:00Z", -1}, {"2026-13-01T00:00:00Z", -1}, {"2025-02-29T00:00:00Z", -1},
        {"2026-12-06T10:00:00Zjunk", -1}, {"1969-12-31T23:59:59Z", -1}, {"yesterday", -1}, {"-5", -1}, {"", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        long long seconds = -42;
        std::string error;
        bool ok = platform::text::parseTimeText(c.text, seconds, error);
        EXPECT_EQ(ok, c.seconds >= 0) << error;
        EXPECT_EQ(ok ? seconds : -1, c.seconds);
        EXPECT_EQ(error.empty(), ok);
    }
}
