#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/FakeSleeper.h"
#include "support/FakeTableService.h"
#include "support/MemoryEnvironment.h"
#include "platform/ida/IdaBufferedInput.h"
#include "restore/AzureTableRestore.h"

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

TEST(IdaBufferedInput, LinesCutAcrossBuffersComeOutWholeAndInOrder) {
    const std::string text = "alpha\nbeta\n\ngamma delta\nlast-without-line-feed";
    // Feed it one byte at a time and in odd pieces: the cut never shows in the lines.
    for (size_t piece : {1u, 3u, 7u}) {
        LineInput in;
        for (size_t i = 0; i < text.size(); i += piece) ASSERT_TRUE(in.feed(text.substr(i, piece)));
        in.endOfObject();
        EXPECT_EQ(in.drain(), (std::vector<std::string>{"alpha", "beta", "", "gamma delta", "last-without-line-feed"}))
            << "piece " << piece;
        EXPECT_FALSE(in.error());
    }
}

TEST(IdaBufferedInput, ChunkEndsCloseAnOpenLineButNotAnEndedOne) {
    LineInput input;
    input.feed("a\nb");
    input.closeChunk();
    input.feed("c\n");
    input.closeChunk();
    input.feed("d");
    input.endOfObject();
    EXPECT_EQ(input.drain(), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_FALSE(input.feed("late")) << "no data after the end of the object";
}

TEST(IdaBufferedInput, EmptyObjectHasNoLines) {
    LineInput input;
    input.deferredProcessBuffer(true);
    std::string line;
    EXPECT_FALSE(input.getLine(line));
    EXPECT_FALSE(input.error());
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

TEST(IdaBufferedInput, GetLineBlocksUntilTheFeederDelivers) {
    LineInput input(64);  // tiny buffer: the feeder has to wait for the reader many times over
    std::vector<std::string> expected;
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        expected.push_back("line " + std::to_string(i) + std::string(i % 150, 'x'));
        text += expected.back() + "\n";
    }
    std::thread feeder([&] {
        for (size_t i = 0; i < text.size(); i += 37) input.feed(text.substr(i, 37));
        input.endOfObject();
    });
    EXPECT_EQ(input.drain(), expected);  // lines longer than the buffer pass too
    feeder.join();
}

TEST(IdaBufferedInput, ReaderWaitsForEndOfObject) {
    LineInput input;
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        std::string line;
        while (input.getLine(line)) {
        }
        returned = true;
    });
    input.feed("x\n");
    // The reader must still be waiting: the object has not ended. (Yield, do not sleep.)
    for (int i = 0; i < 1000 && !returned; ++i) std::this_thread::yield();
    EXPECT_FALSE(returned);
    input.endOfObject();
    reader.join();
    EXPECT_TRUE(returned);
}

TEST(IdaBufferedInput, ClosingReleasesAFeederWaitingForRoom) {
    LineInput input(8);
    std::atomic<int> result{-1};
    std::thread feeder([&] { result = input.feed(std::string(100, 'z')) ? 1 : 0; });
    std::string line;
    // Read nothing; close instead.
    input.close();
    feeder.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(input.getLine(line));
}

TEST(IdaBufferedInput, BufferStaysBounded) {
    // processBuffer blocks while the buffer is full, so an unread input never holds more than
    // its capacity: a feeder writing 1 MiB into a 4 KiB input is still blocked after 4 KiB.
    LineInput input(4096);
    std::atomic<size_t> fed{0};
    std::thread feeder([&] {
        std::string block(512, 'a');
        block.back() = '\n';
        for (int i = 0; i < 2048; ++i) {
            if (!input.feed(block)) return;
            fed += block.size();
        }
    });
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    EXPECT_LE(fed.load(), 4096u);
    input.close();
    feeder.join();
}

// --- the restore inputs ---------------------------------------------------------------------

class BufferedRestoreTest : public ::testing::Test {
protected:
    FakeSleeperScope sleeper;
    FakeTransportScope transport;
    FakeTableService service{*transport};
    MemoryEnvironment env{"plugin"};
    AzureTableCredentials credentials = testCredentials();
};

TEST_F(BufferedRestoreTest, FullInputReplaysWhatThePlatformFeeds) {
    service.addTable("dest");
    auto input = std::make_shared<BufferedRestoreFromFull>(&env, new KxCriticalSectionH);
    std::string source = "src", destination = "dest";
    ASSERT_TRUE(input->initialize(&credentials, source, destination, env));
    credentials.accountUrl = "changed after initialize";  // the input keeps its own copy

    std::string data = entityLine("p", "1") + "\n" + entityLine("p", "2") + "\n\n" + entityLine("q", "3") + "\n";
    std::thread platform([&] {
        for (size_t i = 0; i < data.size(); i += 50) input->processBuffer(&data[i], std::min<size_t>(50, data.size() - i));
        input->closeChunk();
        input->endOfObject();
    });
    EXPECT_TRUE(input->startRestore(false));
    platform.join();
    EXPECT_EQ(service.entities("dest").size(), 3u);
    EXPECT_EQ(env.countLogged("Empty line"), 1u);
    EXPECT_TRUE(env.logged("FULL restore done"));
    EXPECT_EQ(input->restoreArgs()->input, input.get());
    EXPECT_TRUE(input->restoreArgs()->succeeded);
}

TEST_F(BufferedRestoreTest, InitializeAndStartFlagRules) {
    // Without initialize there is no destination: nothing is sent.
    {
        BufferedRestoreFromFull input(&env, nullptr);
        EXPECT_FALSE(input.startRestore(true));
        EXPECT_EQ(transport->requestCount(), 0u);
    }
    std::string source = "src", first = "first", second = "second";
    service.addTable("second");
    // Without the start flag an incremental replays without its log line.
    {
        MemoryEnvironment quiet{"plugin"};
        BufferedRestoreFromIncremental input(&quiet, nullptr);
        input.initialize(&credentials, source, second, &quiet, 0);
        input.endOfObject();
        EXPECT_TRUE(input.startRestore(false));
        EXPECT_FALSE(input.restoreArgs()->startFlag);
        EXPECT_FALSE(quiet.logged("Replaying incremental backup "));
    }
    // A second initialize replaces the argument block, destination included.
    auto input = std::make_shared<BufferedRestoreFromIncremental>(&env, nullptr);
    input->initialize(&credentials, source, first, &env, 0);
    auto firstBlock = input->restoreArgs();
    input->initialize(&credentials, source, second, &env, 7);
    ASSERT_NE(input->restoreArgs(), firstBlock);
    EXPECT_EQ(input->restoreArgs()->reserved, 7);
    std::string line = entityLine("p", "1") + "\n";
    input->processBuffer(&line[0], line.size());
    input->endOfObject();
    EXPECT_TRUE(input->startRestore(true));
    EXPECT_EQ(service.entities("second").size(), 1u);
    EXPECT_FALSE(service.hasTable("first"));
    EXPECT_TRUE(env.logged("Replaying incremental backup "));
    EXPECT_FALSE(env.logged("FULL restore done"));
}

TEST_F(BufferedRestoreTest, DeliveryFailureFailsTheRestoreWhateverTheWritesDid) {
    service.addTable("dest");
    BufferedRestoreFromFull input(&env, nullptr);
    std::string source = "src", destination = "dest";
    input.initialize(&credentials, source, destination, env);
    std::string line = entityLine("p", "1") + "\n";
    input.processBuffer(&line[0], line.size());
    input.failDelivery("object unreadable");
    EXPECT_FALSE(input.startRestore(true));
    EXPECT_FALSE(input.restoreArgs()->succeeded);
    EXPECT_FALSE(env.failures().empty());
}

TEST_F(BufferedRestoreTest, IgnoreDataTakesEverythingAndSucceeds) {
    BufferedRestoreIgnoreData input(&env, new KxCriticalSectionH);
    std::string big(10u << 20, 'x');  // far more than any buffer: dropped, never blocks
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(input.processBuffer(&big[0], big.size()));
    EXPECT_TRUE(input.deferredProcessBuffer(true));
    EXPECT_TRUE(input.closeChunk());
    EXPECT_TRUE(input.initializeRestore());
    EXPECT_TRUE(input.startRestore(true));
    std::string line;
    input.endOfObject();
    EXPECT_FALSE(input.getLine(line));
    EXPECT_EQ(transport->requestCount(), 0u);
}
