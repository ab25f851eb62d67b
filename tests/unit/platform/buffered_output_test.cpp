#include <gtest/gtest.h>

#include <thread>
#include <vector>

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

// Peeked bytes stay buffered (the producer cannot write over them) until released; one peek
// ends at a page boundary (without spanning) and where the ring wraps.
TEST(IdaBufferedOutput, PeekedBytesStayBufferedUntilReleasedAndEndAtAPageOrTheWrap) {
    IdaBufferedOutput out("t", nullptr, 8);
    out.setBufferSpanning(false);
    ASSERT_TRUE(out.putString("abcdef"));
    out.updateRestart("p:1");
    ASSERT_TRUE(out.putString("g"));
    const char* data = nullptr;
    unsigned long size = 0;
    bool end = false, ignored;
    ASSERT_TRUE(out.peekBuffer(4, data, size, end));
    EXPECT_EQ(std::string(data, size), "abcd");
    ASSERT_TRUE(out.peekBuffer(100, data, size, end));  // nothing released: the same bytes, to the page's end
    EXPECT_EQ(std::string(data, size), "abcdef");
    EXPECT_EQ(out.getRemainingDataSize(ignored), 7u);
    out.release(size);
    EXPECT_EQ(out.getRemainingDataSize(ignored), 1u);
    std::string restart;
    EXPECT_TRUE(out.takeRestartMark(6, restart));
    std::thread producer([&] {
        EXPECT_TRUE(out.putString("hijklmn"));  // fills the ring, across its end
        out.finishProducing();
    });
    std::vector<std::string> pieces;
    for (end = false; !end;) {
        ASSERT_TRUE(out.peekBuffer(100, data, size, end));
        if (size) pieces.emplace_back(data, size);
        out.release(size);
    }
    producer.join();
    std::string all;
    for (const auto& piece : pieces) all += piece;
    EXPECT_EQ(all, "ghijklmn");
    for (const auto& piece : pieces) EXPECT_TRUE(piece == "g" || piece == "gh" || piece == "h" || piece == "ijklmn") << piece;
}
