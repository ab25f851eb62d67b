#include <gtest/gtest.h>

#include <thread>

#include "RunnerFixture.h"
#include "backup/AzureTableBackup.h"

using backup_test::FakeTableService;
using backup_test::splitLines;
using testing_support::MemoryEnvironment;

namespace {

class RunnerTest : public backup_test::ServiceTest {
protected:
    QueryEntitiesArgs argsFor(MemoryEnvironment& env, const std::string& restart) {
        QueryEntitiesArgs args;
        args.credentials = &credentials;
        args.environment = &env;
        args.tableName = "t1";
        args.restartString = restart;
        return args;
    }
};

}  // namespace

// An empty page with a continuation does not end the scan: pages empty, 10, empty, 10, empty, 5.
TEST_F(RunnerTest, FullBackupWritesDescriptionThenOnePutAndOneRestartPerPage) {
    service.fill(25);
    service.setEmptyPagesFirst(true);
    MemoryEnvironment env;
    ASSERT_TRUE(AzureTableBackupRunner(credentials, env).execute("t1", "", 0, 0));
    auto description = env.output("description.json");
    EXPECT_EQ(description.data(), "{\"table\":{\"odata.metadata\":\"x\",\"TableName\":\"t1\"}}");
    EXPECT_TRUE(description.closed);
    EXPECT_EQ(description.closeRestart, "");

    auto data = env.output("t1");
    ASSERT_EQ(data.puts.size(), 6u);
    ASSERT_EQ(data.restarts.size(), 6u);
    EXPECT_EQ(data.puts[0], "");
    EXPECT_EQ(data.restarts[1], FakeTableService::restartAt(service.rows()[10]));
    EXPECT_EQ(data.restarts[5], "");
    EXPECT_TRUE(data.closed);
    EXPECT_EQ(data.closeRestart, ":");
    EXPECT_EQ(splitLines(data.data()), service.expectedLines());
    EXPECT_EQ(data.puts[5].back(), '\n');

    EXPECT_EQ(env.messagesOf("execute"), (std::vector<std::string>{"Starting scan\n", "Write complete\n"}));
    EXPECT_EQ(queryUrls().size(), 6u);
    EXPECT_EQ(queryUrls()[0].find("$filter"), std::string::npos);  // no bounds, no filter
    EXPECT_TRUE(env.failures().empty());
}

// Each failure is logged under its function, then reported with the same text. Without a data
// output nothing was queried; with one, a failed scan leaves it unclosed (no restart string).
TEST_F(RunnerTest, EveryFailureIsLoggedThenReportedWithTheSameText) {
    service.fill(25);
    auto execute = [&](std::function<void(MemoryEnvironment&)> arrange) {
        return [&, arrange](MemoryEnvironment& env) {
            arrange(env);
            return AzureTableBackupRunner(credentials, env).execute("t1", "", 0, 0);
        };
    };
    using Run = std::function<bool(MemoryEnvironment&)>;
    const struct { Run run; const char* function; std::string message; bool scanned; } cases[] = {
        {execute([&](MemoryEnvironment&) { transport->reply(404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}"); }),
         "createDescription", "Describe failed 4 for table t1", false},
        {[&](MemoryEnvironment& env) {
             std::shared_ptr<AzureTableDescription> d;
             return AzureTableBackupRunner(credentials, env).createDescription("t1", d, false);
         },
         "createDescription", "Describe failed 1 for table t1", false},
        {execute([](MemoryEnvironment& env) { env.refusePutNumber(1); }), "createDescription",
         "Failed to write description.json file", false},
        {execute([&](MemoryEnvironment&) { service.failQueryNumber(2); }), "queryEntities", "scanToStream failed for t1",
         true},
        // The description, page 1, then page 2 is refused.
        {execute([](MemoryEnvironment& env) { env.refusePutNumber(3); }), "queryEntities", "scanToStream failed for t1",
         true},
        {[&](MemoryEnvironment& env) {
             env.refuseClose(true);
             QueryEntitiesArgs args = argsFor(env, "");
             return AzureTableBackupRunner::executeLowLevel(&args);
         },
         "queryEntities", "close failed for t1 and restart ':'", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        service.reset();
        transport->clearRequests();
        MemoryEnvironment env;
        EXPECT_FALSE(c.run(env));
        ASSERT_FALSE(env.messagesOf(c.function).empty());
        EXPECT_EQ(env.messagesOf(c.function).back(), c.message);
        EXPECT_EQ(env.failures(), std::vector<std::string>{c.message});
        EXPECT_EQ(env.createdOutputs().empty(), std::string(c.function) == "createDescription");
        if (env.createdOutputs().empty()) {
            EXPECT_EQ(queryUrls().size(), 0u);
        } else if (c.scanned) {
            EXPECT_FALSE(env.output("t1").closed);
            EXPECT_EQ(env.messagesOf("execute").back(), "Write complete\n");
        }
    }
}

TEST_F(RunnerTest, RestartStringsThatAreNotOnePairStartAtTheFirstEntity) {
    service.fill(5);
    const struct { std::string restart; size_t lines; bool position; } cases[] = {
        {"", 5, false}, {":", 5, false}, {"a:b:c", 5, false},
        {FakeTableService::token("p01") + ":", 3, true},  // a partition key with no row key is a position
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.restart);
        transport->clearRequests();
        MemoryEnvironment env;
        QueryEntitiesArgs args = argsFor(env, c.restart);
        ASSERT_TRUE(AzureTableBackupRunner::executeLowLevel(&args));
        const std::string url = queryUrls().at(0);
        EXPECT_EQ(url.find("NextPartitionKey=") != std::string::npos, c.position) << url;
        EXPECT_EQ(url.find("NextRowKey"), std::string::npos) << url;
        EXPECT_EQ(splitLines(env.output("t1").data()).size(), c.lines);
    }
}

// The buffered output the platform drains: a restart string given to close() before the scan
// wins over the one given to initialize(). Scanning into it and stopping it run in every backup
// job (backup_job_test).
TEST_F(RunnerTest, ARestartStringGivenToCloseWinsOverTheInitialOne) {
    service.fill(30);
    MemoryEnvironment env;
    AzureBufferedBackup out;
    const auto& e = service.rows();
    const std::string r1 = FakeTableService::restartAt(e[10]), r2 = FakeTableService::restartAt(e[20]);
    out.initialize(credentials, &env, "t1", r1, 0, 0);
    EXPECT_TRUE(out.flush());
    EXPECT_TRUE(out.initializeBackup());
    EXPECT_EQ(out.getRestartString(), r1);
    EXPECT_TRUE(out.close(r2));
    std::string data;
    std::thread consumer([&] {
        std::vector<char> block(7);
        unsigned long filled = 0;
        for (bool end = false; !end && out.fillBuffer(block.data(), block.size(), filled, end);)
            data.append(block.data(), filled);
    });
    EXPECT_TRUE(out.startBackup(true));
    out.finishProducing();
    consumer.join();
    ASSERT_EQ(splitLines(data).size(), 10u);
    EXPECT_EQ(splitLines(data).front(), e[20].json);
}
