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
    // Line by line, or with `block` a block at a time (at most `block` lines, and none after
    // the one that reaches `maxBytes`).
    std::vector<std::string> drain(size_t block = 0, size_t maxBytes = 1 << 20) {
        std::vector<std::string> lines, got;
        std::string line;
        if (block == 0) {
            while (getLine(line)) lines.push_back(line);
            return lines;
        }
        while (const size_t count = getLines(got, block, maxBytes)) {
            EXPECT_LE(count, block);
            size_t bytes = 0;
            for (size_t i = 0; i + 1 < count; ++i) bytes += got[i].size();
            EXPECT_LT(bytes, maxBytes) << "a line taken after the bytes ran over";
            lines.insert(lines.end(), got.begin(), got.begin() + static_cast<long>(count));
        }
        return lines;
    }
};

}  // namespace

// However the data is cut into buffers, lines come out whole and in order; a chunk's end closes
// an open line but not an ended one, and nothing is taken after the object's end.
TEST(IdaBufferedInput, LinesCutAcrossBuffersAndChunksComeOutWholeAndInOrder) {
    const std::string text = "alpha\nbeta\n\ngamma delta\nlast-without-line-feed";
    const struct {
        size_t piece, block, maxBytes;
    } cases[] = {{1, 0, 0}, {3, 0, 0}, {7, 0, 0}, {1, 2, 64}, {7, 2, 64}, {7, 64, 64}, {100, 64, 64}, {100, 64, 6}};
    for (const auto& c : cases) {
        LineInput in;
        for (size_t i = 0; i < text.size(); i += c.piece) ASSERT_TRUE(in.feed(text.substr(i, c.piece)));
        in.endOfObject();
        EXPECT_EQ(in.drain(c.block, c.maxBytes),
                  (std::vector<std::string>{"alpha", "beta", "", "gamma delta", "last-without-line-feed"}))
            << "piece " << c.piece << ", block " << c.block << ", bytes " << c.maxBytes;
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
    for (size_t block : {0, 16}) {
        LineInput input;
        input.feed("one\ntwo\npartial");
        input.failDelivery("chunk 2 is damaged");
        EXPECT_EQ(input.drain(block), (std::vector<std::string>{"one", "two"})) << "never the line the failure cut";
    }
    LineInput input;
    input.feed("one\ntwo\npartial");
    input.failDelivery("chunk 2 is damaged");
    EXPECT_EQ(input.drain(), (std::vector<std::string>{"one", "two"}));
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
