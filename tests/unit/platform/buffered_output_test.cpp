#include <gtest/gtest.h>

#include <thread>

#include "platform/ida/IdaBufferedOutput.h"

TEST(IdaBufferedOutput, AProducerAheadOfItsConsumerWaitsInsteadOfGrowingTheBuffer) {
    IdaBufferedOutput out("t", nullptr, 8);
    std::string text;
    for (int i = 0; i < 500; ++i) text += static_cast<char>('a' + i % 26);
    std::thread producer([&] {
        EXPECT_TRUE(out.putString(text) && out.putString("") && out.putString("tail"));
        out.finishProducing();
    });
    std::string drained;
    unsigned long long maxBuffered = 0;
    char block[3];
    unsigned long filled = 0;
    bool ignored;
    for (bool end = false; !end && out.fillBuffer(block, sizeof block, filled, end);) {
        drained.append(block, filled);
        maxBuffered = std::max(maxBuffered, out.getRemainingDataSize(ignored));
    }
    producer.join();
    EXPECT_EQ(drained, text + "tail");
    EXPECT_LE(maxBuffered, 8u);
    EXPECT_FALSE(out.putString("late"));  // the data has ended
}

TEST(IdaBufferedOutput, TheSafeRestartStringNamesOnlyDurableData) {
    IdaBufferedOutput out("t", nullptr, 1024);
    out.close("p:0");
    EXPECT_EQ(out.getSafeRestartString(), "p:0");
    out.putString("1111");
    out.updateRestart("p:1");
    out.putString("2222");
    out.updateRestart("p:2");
    EXPECT_EQ(out.getRestartString(), "p:2");
    EXPECT_EQ(out.getSafeRestartString(), "p:0");  // nothing taken yet
    char buffer[6];
    unsigned long filled = 0;
    bool end = false;
    ASSERT_TRUE(out.fillBuffer(buffer, sizeof buffer, filled, end));
    EXPECT_EQ(filled, 6u);
    out.markConsumedDurable(100);  // cannot be durable beyond what was taken
    EXPECT_EQ(out.getSafeRestartString(), "p:1");
    ASSERT_TRUE(out.fillBuffer(buffer, sizeof buffer, filled, end));
    out.markConsumedDurable(8);
    EXPECT_EQ(out.getSafeRestartString(), "p:2");
}
