#include <gtest/gtest.h>

#include "restore/AzureTableRestore.h"
#include "unit/backup/RunnerFixture.h"

using namespace testing_support;
using platform::http::HttpExchange;
using platform::http::HttpReply;

namespace {

const char* kStoredDescription = "{\"table\":{\"odata.metadata\":\"m\",\"TableName\":\"src\"}}";
const char* kNotFound = "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}";

// The requests sent, as "METHOD what" strings.
std::vector<std::string> calls(const FakeTransport& transport) {
    std::vector<std::string> out;
    for (const auto& r : transport.requests()) out.push_back(r.method + " " + r.url.substr(19));  // after the host
    return out;
}

class RunnerSetup : public backup_test::ServiceTest {
protected:
    RunnerSetup() {
        full.setDescription(kStoredDescription);
        incremental.setDescription(kStoredDescription);
        incremental.setMetadata("{\"kind\":\"incremental\"}");
    }
    bool initialize(bool overwrite, bool useExisting, IdaEnvironment* fullBackup,
                    std::list<IdaEnvironment*> incrementals = {}) {
        return runner->initialize(overwrite, "dest", fullBackup, incrementals, useExisting);
    }

    MemoryEnvironment job{"job"}, full{"/store/full"}, incremental{"/store/incr"};
    boost::shared_ptr<AzureTableRestoreRunner> runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
};

}  // namespace

// An existing destination is kept unless overwrite is asked without useExisting; then it is
// dropped, waited for, created under the destination's name and waited for. A missing one is
// created unless useExisting.
TEST_F(RunnerSetup, TheDestinationIsKeptDroppedOrCreatedAsTheFlagsSay) {
    const std::vector<std::string> describe{"GET Tables('dest')"};
    const std::vector<std::string> create{"GET Tables('dest')", "POST Tables", "GET Tables('dest')"};
    const std::vector<std::string> replace{"GET Tables('dest')", "DELETE Tables('dest')", "GET Tables('dest')",
                                           "POST Tables", "GET Tables('dest')"};
    const struct {
        bool exists, overwrite, useExisting;
        std::vector<std::string> calls;
        bool existsAfter;
    } cases[] = {
        {true, false, false, describe, true}, {true, false, true, describe, true}, {true, true, true, describe, true},
        {true, true, false, replace, true},   {false, false, true, describe, false}, {false, true, false, create, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.exists << c.overwrite << c.useExisting);
        FakeTransportScope scope;
        FakeTableService service(*scope);
        if (c.exists) service.addTable("dest");
        runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
        EXPECT_TRUE(initialize(c.overwrite, c.useExisting, &full));
        EXPECT_EQ(calls(*scope), c.calls);
        EXPECT_EQ(service.hasTable("dest"), c.existsAfter);
        if (c.calls.size() > 3) { EXPECT_EQ(scope->request(3).body, "{\"TableName\":\"dest\"}"); }
        ASSERT_NE(runner->getDescription(), nullptr);
        EXPECT_EQ(runner->getDescription()->tableName, "src");
    }
    EXPECT_TRUE(job.failures().empty());
    EXPECT_TRUE(sleeper->sleeps().empty());
}

TEST_F(RunnerSetup, WithoutAFullBackupTheFirstIncrementalDescriptionIsRead) {
    service.addTable("dest");
    MemoryEnvironment unreadable("/store/bad");
    EXPECT_TRUE(initialize(false, true, nullptr, {&incremental, &unreadable}));
    EXPECT_FALSE(initialize(false, true, nullptr, {&unreadable, &incremental}));
    // A description without a table still lets the destination be created.
    full.setDescription("{\"table\":null}");
    runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
    ASSERT_TRUE(initialize(false, false, &full));
    EXPECT_EQ(runner->getDescription(), nullptr);
}

// Every failure is reported with its fixed message, and nothing more is sent after it. The
// scripted replies come first; `always` then answers every request (a DELETE with 204).
TEST_F(RunnerSetup, FailuresAreReportedWithTheirMessages) {
    const std::string refused = "{\"odata.error\":{\"code\":\"InvalidTableName\"}}";
    MemoryEnvironment bad("/store/bad");
    const struct {
        std::vector<std::pair<int, std::string>> replies;
        std::pair<int, std::string> always;  // status 0: none
        std::function<bool()> run;
        std::string message;
        unsigned long long slept;
    } cases[] = {
        {{}, {}, [&] { return initialize(true, false, nullptr, {&incremental}); },
         "A full backup is required when not using an existing table for restore destination", 0},
        {{}, {}, [&] { return initialize(false, true, nullptr, {}); },
         "At least one backup is required in order to restore", 0},
        {{}, {}, [&] { return initialize(false, true, nullptr, {nullptr, &incremental}); },
         "At least one backup is required in order to restore", 0},
        {{}, {}, [&] { return initialize(false, false, &bad); }, "Failed to read full backup table description", 0},
        {{{403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}"}}, {}, [&] { return initialize(false, false, &full); },
         "An error was encountered, other than \"not found\", while describing destination table acct:dest", 0},
        {{{404, kNotFound}, {400, refused}}, {}, [&] { return initialize(false, false, &full); },
         "Create failed with " + refused, 0},
        {{}, {200, "{\"TableName\":\"dest\"}"}, [&] { return initialize(true, false, &full); },
         "Timed out waiting for acct:dest deleted", 160000},
        {{{404, kNotFound}, {201, "{\"TableName\":\"dest\"}"}}, {404, kNotFound}, [&] { return initialize(false, false, &full); },
         "Timed out waiting for acct:dest active", 122000},
        {{}, {}, [&] { return runner->prepareIncrementalRestore(credentials, &bad, "dest"); },
         "Unable to read metadata file for incremental /store/bad", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        MemoryEnvironment fresh("job");
        FakeTransportScope scope;
        FakeSleeperScope clock;
        for (const auto& r : c.replies) scope->reply(r.first, r.second);
        if (c.always.first) {
            scope->setResponder([&c](const HttpExchange& e) {
                HttpReply r;
                r.status = e.method == "DELETE" ? 204 : c.always.first;
                if (e.method != "DELETE") r.body = c.always.second;
                return r;
            });
        }
        runner = boost::make_shared<AzureTableRestoreRunner>(credentials, fresh);
        EXPECT_FALSE(c.run());
        EXPECT_EQ(fresh.failures(), (std::vector<std::string>{c.message}));
        EXPECT_TRUE(fresh.logged(c.message));
        EXPECT_EQ(clock->total(), c.slept);
        if (c.replies.empty() && !c.always.first) { EXPECT_EQ(scope->requestCount(), 0u); }
    }
    EXPECT_TRUE(runner->prepareIncrementalRestore(credentials, &incremental, "dest"));
}
