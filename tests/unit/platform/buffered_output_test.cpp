#include <gtest/gtest.h>

#include <thread>

#include "platform/ida/IdaBufferedOutput.h"

namespace {

// Drains `out` until the end of the data, in reads of `block` bytes.
std::string drain(IdaBufferedOutput& out, unsigned long block, unsigned long long* maxBuffered = nullptr) {
    std::string all;
    std::vector<char> buffer(block);
    while (true) {
        unsigned long filled = 0;
        bool end = false;
        if (!out.fillBuffer(buffer.data(), block, filled, end)) break;
        all.append(buffer.data(), filled);
        if (maxBuffered) {
            bool ignored;
            *maxBuffered = std::max(*maxBuffered, out.getRemainingDataSize(ignored));
        }
        if (end) break;
    }
    return all;
}

}  // namespace

TEST(IdaBufferedOutput, AProducerAheadOfItsConsumerWaitsInsteadOfGrowingTheBuffer) {
    IdaBufferedOutput out("t", nullptr, 8);
    std::string text;
    for (int i = 0; i < 500; ++i) text += static_cast<char>('a' + i % 26);
    std::thread producer([&] {
        EXPECT_TRUE(out.putString(text));
        EXPECT_TRUE(out.putString(""));
        EXPECT_TRUE(out.putString("tail"));
        out.finishProducing();
    });
    unsigned long long maxBuffered = 0;
    EXPECT_EQ(drain(out, 3, &maxBuffered), text + "tail");
    producer.join();
    EXPECT_LE(maxBuffered, 8u);
    EXPECT_FALSE(out.putString("late"));  // the data has ended
}

TEST(IdaBufferedOutput, TheSafeRestartStringNamesOnlyDurableData) {
    IdaBufferedOutput out("t", nullptr, 1024);
    out.close("p:0");
    EXPECT_EQ(out.getRestartString(), "p:0");
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

