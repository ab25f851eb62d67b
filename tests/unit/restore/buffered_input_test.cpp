#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/ida/IdaBufferedInput.h"
#include "restore/AzureTableRestore.h"
#include "unit/backup/RunnerFixture.h"

using namespace testing_support;

namespace {

class LineInput : public IdaBufferedInput {
public:
    explicit LineInput(size_t capacity = kDefaultCapacity) : IdaBufferedInput(new KxCriticalSectionH, capacity) {}
    bool startRestore(bool) override { return true; }
    bool feed(const std::string& text) { return processBuffer(const_cast<char*>(text.data()), text.size()); }
    std::vector<std::string> drain() {
        std::vector<std::string> lines;
        std::string line;
        while (getLine(line)) lines.push_back(line);
        return lines;
    }
};

}  // namespace

// However the data is cut into buffers, lines come out whole and in order; a chunk's end closes
// an open line but not an ended one, and nothing is taken after the object's end.
TEST(IdaBufferedInput, LinesCutAcrossBuffersAndChunksComeOutWholeAndInOrder) {
    const std::string text = "alpha\nbeta\n\ngamma delta\nlast-without-line-feed";
    for (size_t piece : {1u, 3u, 7u}) {
        LineInput in;
        for (size_t i = 0; i < text.size(); i += piece) ASSERT_TRUE(in.feed(text.substr(i, piece)));
        in.endOfObject();
        EXPECT_EQ(in.drain(), (std::vector<std::string>{"alpha", "beta", "", "gamma delta", "last-without-line-feed"}))
            << "piece " << piece;
        EXPECT_FALSE(in.error());
    }
    LineInput input;
    input.feed("a\nb");
    input.closeChunk();
    input.feed("c\n");
    input.closeChunk();
    input.endOfObject();
    EXPECT_EQ(input.drain(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(input.feed("late"));
}

TEST(IdaBufferedInput, FailedDeliveryStopsTheReaderAndIsReported) {
    LineInput input;
    input.feed("one\ntwo\npartial");
    input.failDelivery("chunk 2 is damaged");
    EXPECT_EQ(input.drain(), (std::vector<std::string>{"one", "two"})) << "never the line the failure cut";
    EXPECT_TRUE(input.error());
    EXPECT_EQ(input.failureReason(), "chunk 2 is damaged");
    EXPECT_FALSE(input.feed("more"));
    EXPECT_FALSE(input.deferredProcessBuffer(false));
}

// processBuffer blocks while the buffer is full, so an unread input never holds more than its
// capacity; closing it releases the blocked feeder, refused.
TEST(IdaBufferedInput, AnUnreadInputStaysBoundedAndClosingReleasesTheFeeder) {
    LineInput input(4096);
    std::atomic<size_t> fed{0};
    std::atomic<bool> refused{false};
    std::thread feeder([&] {
        const std::string block = std::string(511, 'a') + "\n";
        for (int i = 0; i < 2048; ++i) {
            if (!input.feed(block)) return void(refused = true);
            fed += block.size();
        }
    });
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    EXPECT_LE(fed.load(), 4096u);
    input.close();
    feeder.join();
    EXPECT_TRUE(refused);
    std::string line;
    EXPECT_FALSE(input.getLine(line));
}

class BufferedRestoreTest : public backup_test::ServiceTest {
protected:
    MemoryEnvironment env{"plugin"};
};

// Without initialize nothing is sent; a second initialize replaces the argument block,
// destination included, and the input keeps its own copy of the credentials.
TEST_F(BufferedRestoreTest, ASecondInitializeReplacesTheFirst) {
    BufferedRestoreFromFull uninitialized(&env, nullptr);
    EXPECT_FALSE(uninitialized.startRestore(true));
    EXPECT_EQ(transport->requestCount(), 0u);

    std::string source = "src", first = "first", second = "second";
    service.addTable("second");
    auto input = std::make_shared<BufferedRestoreFromIncremental>(&env, nullptr);
    input->initialize(&credentials, source, first, &env, 0);
    auto firstBlock = input->restoreArgs();
    input->initialize(&credentials, source, second, &env, 7);
    ASSERT_NE(input->restoreArgs(), firstBlock);
    credentials.accountUrl = "changed after initialize";
    std::string data = entityLine("p", "1") + "\n\n" + entityLine("q", "3") + "\n";
    std::thread platform([&] {  // the platform feeds the input while the restore reads it
        for (size_t i = 0; i < data.size(); i += 50)
            input->processBuffer(&data[i], std::min<size_t>(50, data.size() - i));
        input->endOfObject();
    });
    EXPECT_TRUE(input->startRestore(true));
    platform.join();
    EXPECT_EQ(service.entities("second").size(), 2u);
    EXPECT_FALSE(service.hasTable("first"));
    EXPECT_EQ(input->restoreArgs()->input, input.get());
}
