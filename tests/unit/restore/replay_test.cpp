#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/store/RestoreEnvironment.h"
#include "restore/AzureTableRestore.h"
#include "unit/backup/RunnerFixture.h"

using namespace testing_support;

namespace {

std::string lines(const std::string& pk, int from, int to, const std::string& extra = "") {
    std::string text;
    for (int i = from; i < to; ++i) text += entityLine(pk, std::to_string(i), extra) + "\n";
    return text;
}

class Replay : public backup_test::ServiceTest {
protected:
    Replay() { service.addTable("dest"); }

    bool replayFull(const std::string& text, bool failsAtEnd = false, MemoryEnvironment* from = nullptr) {
        MemoryEnvironment& env = from ? *from : backup;
        env.setInput("src", text, failsAtEnd);
        FullRestoreArgs args;
        args.credentials = &credentials;
        args.destinationTable = "dest";
        args.sourceTable = "src";
        args.environment = &env;
        args.succeeded = true;  // must be reset by the replay
        args.startFlag = true;
        EXPECT_EQ(AzureTableRestoreRunner::fullRestoreThread(&args), 0);
        return args.succeeded;
    }
    std::vector<std::string> countMessages() const {
        std::vector<std::string> out;
        for (const auto& line : backup.logLines())
            if (line.message.rfind("Items left ", 0) == 0 || line.message == "Some more items to be restored" ||
                line.message == "FULL restore done")
                out.push_back(line.message);
        return out;
    }
    // Calls of batchInsert made by the replay (the client logs one result line per call).
    size_t submissions(const MemoryEnvironment* in = nullptr) const {
        const MemoryEnvironment& env = in ? *in : backup;
        return env.countLogged("Returning success with no additional items") +
               env.countLogged("Returning success with some to be processed items");
    }

    MemoryEnvironment backup{"/store/full"};
};

}  // namespace

TEST_F(Replay, WritesEveryLineAndSkipsEmptyOnes) {
    EXPECT_TRUE(replayFull(entityLine("p", "1") + "\n\n" + entityLine("p", "2") + "\n"));
    auto stored = service.entities("dest");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(backup.countLogged("Empty line"), 1u);
    // The entity tag is left out of what is written; everything else arrives as it was.
    EXPECT_EQ(stored["p/1"], "{\"PartitionKey\":\"p\",\"RowKey\":\"1\",\"Timestamp\":\"2024-01-01T00:00:00.1234567Z\"}");
    EXPECT_EQ(submissions(), 1u);
    EXPECT_EQ(backup.entitiesWritten(), 2u);
    EXPECT_EQ(countMessages(), (std::vector<std::string>{"FULL restore done"}));
}

TEST_F(Replay, CountsShrinkAcrossResubmissions) {
    // Batches of rows 0-99 and 100-199 are refused at first; 100-199 once more on resubmission.
    int zero = 0, hundred = 0;
    service.refuseWhen([&](const std::string& entity) {
        if (entity.find("\"RowKey\":\"0\"") != std::string::npos) return zero++ < 1;
        if (entity.find("\"RowKey\":\"100\"") != std::string::npos) return hundred++ < 2;
        return false;
    });
    EXPECT_TRUE(replayFull(lines("p", 0, 250)));
    EXPECT_EQ(countMessages(), (std::vector<std::string>{"Items left 200\n", "Some more items to be restored",
                                                         "Items left 100\n", "Some more items to be restored",
                                                         "FULL restore done"}));
    EXPECT_EQ(sleeper->sleeps(), (std::vector<unsigned long long>{1000, 2000}));
    EXPECT_EQ(service.entities("dest").size(), 250u);
    EXPECT_EQ(backup.entitiesWritten(), 250u);
}

// Partition p is refused every time: the replay gives up after bounded resubmissions, or at
// once when a stop is requested during a pause; the other partition is written either way.
TEST_F(Replay, GivesUpAfterBoundedResubmissionsOrAtAStopAndFails) {
    const struct {
        size_t stopAtSleep;  // 0: never
        std::vector<unsigned long long> sleeps;
        size_t resubmissions, submissions;  // both partitions at first (side by side), then only p
        std::string failure;
    } cases[] = {
        {0, {1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}, 8, 10,
         "Gave up restoring 10 items into table dest after 8 resubmissions"},
        {2, {1000, 2000}, 1, 3, "Stopped on request with 10 items not yet restored into table dest"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure);
        StopTokenScope stop;
        FakeSleeperScope clock;
        MemoryEnvironment env{"/store/full"};
        service.refuseWhen([](const std::string& entity) { return entity.find("\"RowKey\":\"7\"") != std::string::npos; });
        clock->onSleep([&](size_t count) {
            if (count != c.stopAtSleep) return;
            // The other partition's lane does not wait for this one; let it finish first.
            for (int spin = 0; spin < 10000000 && service.entities("dest").size() < 5; ++spin) std::this_thread::yield();
            stop.requestStop();
        });
        EXPECT_FALSE(replayFull(lines("p", 0, 10) + lines("q", 0, 5), false, &env));
        EXPECT_EQ(clock->sleeps(), c.sleeps);
        EXPECT_EQ(env.countLogged("Some more items to be restored"), c.resubmissions);
        EXPECT_EQ(submissions(&env), c.submissions);
        EXPECT_EQ(env.failures().front(), c.failure);
        EXPECT_TRUE(env.logged(c.failure));
    }
    EXPECT_EQ(service.entities("dest").size(), 5u) << "the other partition was written";
}

TEST_F(Replay, InputErrorFailsTheReplayEvenWhenEverythingWasWritten) {
    EXPECT_FALSE(replayFull(lines("p", 0, 3), /*failsAtEnd=*/true));
    EXPECT_EQ(service.entities("dest").size(), 3u);
    EXPECT_FALSE(backup.failures().empty());
}

// What was read and is not yet written stays bounded, in lines and in bytes, however long the
// backup: the reader waits for the lanes.
TEST_F(Replay, LinesReadAheadOfTheWritesStayBounded) {
    const size_t n = AzureTableRestoreRunner::kReplayWindowLines;
    const std::string padding = ",\"blob\":\"" + std::string(1 << 20, 'x') + "\"";  // ~1 MiB per line
    const size_t perLane = AzureTableRestoreRunner::kReplayWindowBytes / AzureTableRestoreRunner::kReplayConnections /
                           (padding.size() + 100);
    const struct {
        std::string text;
        size_t lines, bound;
    } cases[] = {
        // The reader also holds the block it is dealing: up to 256 lines or one long one.
        {lines("p", 0, static_cast<int>(2 * n + 500)), 2 * n + 500, n + 256},
        {lines("q", 0, static_cast<int>(2 * perLane + 10), padding), 2 * perLane + 10, perLane + 3},
    };
    for (const auto& c : cases) {
        MemoryEnvironment env{"/store/full"};
        size_t evaluated = 0, ahead = 0;
        service.forgetEntities(true);
        service.refuseWhen([&](const std::string&) {  // once per entity written: none is refused
            ahead = std::max(ahead, env.linesRead() - ++evaluated);
            return false;
        });
        EXPECT_TRUE(replayFull(c.text, false, &env));
        EXPECT_EQ(evaluated, c.lines);
        EXPECT_LE(ahead, c.bound);
        EXPECT_EQ(env.countLogged("FULL restore done"), 1u);
    }
}

TEST_F(Replay, ALaterVersionIsNeverOvertakenByAnEarlierOne) {
    // The first version of p/a sits in window 1 and is refused twice; its second version sits in
    // window 2. Window 2 must wait until window 1 is fully written.
    const int n = static_cast<int>(AzureTableRestoreRunner::kReplayWindowLines);
    int refusals = 0;
    service.refuseWhen([&](const std::string& entity) {
        return entity.find("\"v\":1") != std::string::npos && refusals++ < 2;
    });
    std::string text = entityLine("p", "a", ",\"v\":1") + "\n" + lines("p", 0, n) + entityLine("p", "a", ",\"v\":2") + "\n";
    EXPECT_TRUE(replayFull(text));
    EXPECT_NE(service.entities("dest")["p/a"].find("\"v\":2"), std::string::npos);
}

// A partition waiting to be resubmitted holds up only its own lane: the others are written
// meanwhile; and a later version of its entity, dealt after other partitions, still comes last.
TEST_F(Replay, APartitionThatWaitsHoldsUpOnlyItsOwnLane) {
    int refusals = 0;
    service.refuseWhen([&](const std::string& entity) {
        return entity.find("\"v\":1") != std::string::npos && refusals++ < 2;
    });
    std::string text = entityLine("p", "a", ",\"v\":1") + "\n";
    for (const char* other : {"q", "r", "s"}) text += lines(other, 0, 20);  // one lane each
    text += entityLine("p", "a", ",\"v\":2") + "\n";
    bool othersWritten = false;
    sleeper->onSleep([&](size_t) {
        for (int spin = 0; spin < 10000000 && service.entities("dest").size() < 60; ++spin) std::this_thread::yield();
        othersWritten = othersWritten || service.entities("dest").size() >= 60;
    });
    EXPECT_TRUE(replayFull(text));
    EXPECT_TRUE(othersWritten) << "the other partitions waited for p";
    EXPECT_EQ(service.entities("dest").size(), 61u);
    EXPECT_NE(service.entities("dest")["p/a"].find("\"v\":2"), std::string::npos);
}

TEST_F(Replay, PartitionsGoSideBySideEachInItsOwnOrder) {
    // Eight partitions, some with keys that look like JSON: each partition's entities must reach
    // the service in backup order, while different partitions are sent side by side.
    std::set<std::thread::id> senders;
    std::mutex mutex;
    service.refuseWhen([&](const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        senders.insert(std::this_thread::get_id());
        return false;
    });
    const std::vector<std::string> keys = {"a", "b\\\",\\\"PartitionKey\\\":\\\"x", "{", "c,d", "e", "f", "g", "\\u00fc"};
    std::string text;
    for (const auto& key : keys) text += lines(key, 1000, 1250);
    // A partition whose lines name other keys inside a nested value before their own: the
    // partition is the entity's top-level member, whatever comes first.
    for (int i = 1000; i < 1250; ++i)
        text += "{\"odata.etag\":\"e\",\"Meta\":{\"PartitionKey\":\"n" + std::to_string(i) +
                "\"},\"PartitionKey\":\"h\",\"RowKey\":\"" + std::to_string(i) + "\"}\n";
    EXPECT_TRUE(replayFull(text));
    EXPECT_EQ(service.entities("dest").size(), (keys.size() + 1) * 250);
    std::map<std::string, std::vector<std::string>> arrived;  // partition -> row keys in arrival order
    for (const auto& batch : service.batches())
        for (const auto& entity : batch.entities) {
            rapidjson::Document d;
            d.Parse(entity.c_str());
            arrived[d["PartitionKey"].GetString()].push_back(d["RowKey"].GetString());
        }
    ASSERT_EQ(arrived.size(), keys.size() + 1);
    for (const auto& partition : arrived) {
        EXPECT_EQ(partition.second.size(), 250u);
        EXPECT_TRUE(std::is_sorted(partition.second.begin(), partition.second.end())) << partition.first;
    }
    EXPECT_GE(senders.size(), 2u) << "partitions were written side by side";
    EXPECT_LE(senders.size(), AzureTableRestoreRunner::kReplayConnections);
}

class Execute : public backup_test::ServiceTest {
protected:
    Execute() {
        for (auto* env : {&full, &first, &second}) {
            env->setDescription("{\"table\":{\"TableName\":\"src\"}}");
            env->setMetadata("{}");
        }
        full.setInput("src", lines("p", 0, 3, ",\"v\":1"));
        first.setInput("src", lines("p", 1, 2, ",\"v\":2") + lines("p", 3, 4, ",\"v\":2"));
        second.setInput("src", lines("p", 2, 3, ",\"v\":3"));
    }
    std::vector<std::string> executeMessages() const { return job.messagesOf("execute"); }

    MemoryEnvironment job{"job"}, full{"/store/F1"}, first{"/store/I2"}, second{"/store/I3"};
    boost::shared_ptr<AzureTableRestoreRunner> runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
};

TEST_F(Execute, ReplaysFullThenIncrementalsInOrder) {
    ASSERT_TRUE(runner->execute(false, "dest", &full, {&first, &second}, false));
    auto stored = service.entities("dest");
    ASSERT_EQ(stored.size(), 4u);
    const char* versions[] = {"\"v\":1", "\"v\":2", "\"v\":3", "\"v\":2"};
    for (int i = 0; i < 4; ++i) EXPECT_NE(stored["p/" + std::to_string(i)].find(versions[i]), std::string::npos) << i;
    EXPECT_EQ(executeMessages(), (std::vector<std::string>{"Replaying full backup",
                                                           "All items written to destination table dest",
                                                           "Restore complete"}));
    // The data inputs are opened under the backed-up table's name, from the stored description.
    EXPECT_EQ(full.openedInputs(), (std::vector<std::string>{"src"}));
    EXPECT_EQ(second.openedInputs(), (std::vector<std::string>{"src"}));
}


TEST_F(Execute, IncrementalOnlyIntoAnExistingTable) {
    service.addTable("dest");
    ASSERT_TRUE(runner->execute(false, "dest", nullptr, {&second}, true));
    EXPECT_EQ(service.entities("dest").size(), 1u);
    EXPECT_EQ(executeMessages(),
              (std::vector<std::string>{"All items written to destination table dest", "Restore complete"}));
    EXPECT_TRUE(second.logged("Replaying incremental backup "));
}

// Unreadable incremental metadata, or a replay that did not write everything, stops the restore:
// nothing later is replayed over an incomplete table.
TEST_F(Execute, UnreadableMetadataOrAnIncompleteReplayStopsTheRestore) {
    MemoryEnvironment broken("/store/I3-broken");
    broken.setInput("src", lines("p", 9, 10));
    ASSERT_FALSE(runner->execute(false, "dest", &full, {&first, &broken}, false));
    EXPECT_EQ(service.entities("dest").size(), 4u) << "full and first incremental were replayed";
    EXPECT_TRUE(broken.openedInputs().empty());
    service.refuseWhen([](const std::string& entity) { return entity.find("\"v\":1") != std::string::npos; });
    ASSERT_FALSE(runner->execute(false, "dest", &full, {&second}, false));
    EXPECT_TRUE(second.openedInputs().empty());
    auto said = executeMessages();
    EXPECT_EQ(std::count(said.begin(), said.end(), "Restore failed"), 2);
    EXPECT_EQ(job.failures().back(),
              "Replaying /store/F1 into table dest failed: Gave up restoring 3 items into table dest after 8 "
              "resubmissions");
}

// A setup that fails ends without a "Restore failed" line; with --use-existing into a missing
// table nothing is created (as asked), so nothing can be written: the restore must not succeed.
TEST_F(Execute, ASetupThatCannotHoldFailsTheRestore) {
    ASSERT_FALSE(runner->execute(false, "dest", nullptr, {&first}, false));
    EXPECT_TRUE(executeMessages().empty());
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_FALSE(runner->execute(false, "dest", &full, {}, true));
    EXPECT_FALSE(service.hasTable("dest"));
}
