#include <gtest/gtest.h>

#include "support/FakeTableService.h"
#include "restore/AzureTableRestore.h"
#include "support/FakeSleeper.h"
#include "support/MemoryEnvironment.h"

using namespace testing_support;

namespace {

const char* kStoredDescription = "{\"table\":{\"odata.metadata\":\"m\",\"TableName\":\"src\"}}";

// What the destination-side requests of one call were, as "METHOD what" strings.
std::vector<std::string> calls(const FakeTransport& transport) {
    std::vector<std::string> out;
    for (const auto& r : transport.requests()) {
        std::string what = r.url.substr(std::string("http://127.0.0.1:9/").size());
        out.push_back(r.method + " " + what);
    }
    return out;
}

class RunnerSetup : public ::testing::Test {
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

    FakeSleeperScope sleeper;
    FakeTransportScope transport;
    MemoryEnvironment job{"job"}, full{"/store/full"}, incremental{"/store/incr"};
    AzureTableCredentials credentials = testCredentials();
    boost::shared_ptr<AzureTableRestoreRunner> runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
};

}  // namespace

TEST_F(RunnerSetup, ExistingTableIsKeptUnlessOverwriteWithoutUseExisting) {
    FakeTableService service(*transport);
    service.addTable("dest");
    for (auto flags : {std::make_pair(false, false), std::make_pair(false, true), std::make_pair(true, true)}) {
        transport->clearRequests();
        EXPECT_TRUE(initialize(flags.first, flags.second, &full));
        EXPECT_EQ(calls(*transport), (std::vector<std::string>{"GET Tables('dest')"}));
    }
    EXPECT_TRUE(job.failures().empty());
    EXPECT_FALSE(job.logged("Creating destination table: acct:dest"));
}

TEST_F(RunnerSetup, OverwriteDropsWaitsCreatesAndWaits) {
    FakeTableService service(*transport);
    service.addTable("dest");
    ASSERT_TRUE(initialize(true, false, &full));
    EXPECT_EQ(calls(*transport), (std::vector<std::string>{"GET Tables('dest')", "DELETE Tables('dest')",
                                                           "GET Tables('dest')", "POST Tables", "GET Tables('dest')"}));
    // The create request names the destination, not the backed-up table.
    EXPECT_EQ(transport->request(3).body, "{\"TableName\":\"dest\"}");
    EXPECT_TRUE(job.logged("Deleting table dest"));
    EXPECT_TRUE(job.logged("Creating destination table: acct:dest"));
    EXPECT_TRUE(job.logged(std::string("Full backup description: ") + kStoredDescription));
    EXPECT_TRUE(sleeper->sleeps().empty());
    EXPECT_TRUE(service.hasTable("dest"));
}

TEST_F(RunnerSetup, MissingTableIsCreatedOrWithUseExistingLeftAlone) {
    FakeTableService service(*transport);
    EXPECT_TRUE(initialize(false, true, &full));
    EXPECT_EQ(calls(*transport), (std::vector<std::string>{"GET Tables('dest')"}));
    EXPECT_FALSE(service.hasTable("dest"));

    transport->clearRequests();
    EXPECT_TRUE(initialize(true, false, &full));
    EXPECT_EQ(calls(*transport),
              (std::vector<std::string>{"GET Tables('dest')", "POST Tables", "GET Tables('dest')"}));
    EXPECT_TRUE(service.hasTable("dest"));
}

TEST_F(RunnerSetup, TakesTheBackedUpTableFromTheStoredDescription) {
    FakeTableService service(*transport);
    ASSERT_EQ(runner->getDescription(), nullptr);
    ASSERT_TRUE(initialize(false, false, &full));
    ASSERT_NE(runner->getDescription(), nullptr);
    EXPECT_EQ(runner->getDescription()->tableName, "src");
}

TEST_F(RunnerSetup, DescriptionWithoutATableStillCreatesTheDestination) {
    FakeTableService service(*transport);
    full.setDescription("{\"table\":null}");
    ASSERT_TRUE(initialize(false, false, &full));
    EXPECT_EQ(runner->getDescription(), nullptr);
    EXPECT_TRUE(service.hasTable("dest"));
}

TEST_F(RunnerSetup, WithoutAFullBackupTheFirstIncrementalDescriptionIsRead) {
    FakeTableService service(*transport);
    service.addTable("dest");
    MemoryEnvironment unreadable("/store/bad");
    EXPECT_FALSE(initialize(false, true, nullptr, {&unreadable, &incremental}));
    EXPECT_EQ(job.failures(), (std::vector<std::string>{"Failed to read full backup table description"}));
    EXPECT_TRUE(initialize(false, true, nullptr, {&incremental, &unreadable}));
}

TEST_F(RunnerSetup, FailuresAreLoggedAndReportedWithTheirMessages) {
    struct Case {
        const char* name;
        std::function<bool()> run;
        std::string message;
        size_t requests;
    };
    FakeTableService* service = nullptr;
    std::vector<Case> cases = {
        {"no full backup", [&] { return initialize(true, false, nullptr, {&incremental}); },
         "A full backup is required when not using an existing table for restore destination", 0},
        {"no backup at all", [&] { return initialize(false, true, nullptr, {}); },
         "At least one backup is required in order to restore", 0},
        {"null first incremental", [&] { return initialize(false, true, nullptr, {nullptr, &incremental}); },
         "At least one backup is required in order to restore", 0},
        {"unreadable description, table would be kept",
         [&] {
             MemoryEnvironment bad("/store/bad");
             service->addTable("dest");
             return initialize(false, false, &bad);
         },
         "Failed to read full backup table description", 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryEnvironment fresh("job");
        FakeTransportScope scope;
        FakeTableService s(*scope);
        service = &s;
        runner = boost::make_shared<AzureTableRestoreRunner>(credentials, fresh);
        EXPECT_FALSE(c.run());
        EXPECT_EQ(fresh.failures(), (std::vector<std::string>{c.message}));
        EXPECT_TRUE(fresh.logged(c.message));
        EXPECT_EQ(scope->requestCount(), c.requests);
    }
}

TEST_F(RunnerSetup, DescribeErrorOtherThanNotFound) {
    transport->reply(403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}");
    EXPECT_FALSE(initialize(false, false, &full));
    EXPECT_EQ(job.failures(),
              (std::vector<std::string>{
                  "An error was encountered, other than \"not found\", while describing destination table acct:dest"}));
    EXPECT_EQ(transport->requestCount(), 1u);
}

TEST_F(RunnerSetup, TableThatNeverGoesAwayTimesOut) {
    transport->setResponder([](const platform::http::HttpExchange& e) {
        platform::http::HttpReply r;
        r.status = e.method == "DELETE" ? 204 : 200;
        r.body = e.method == "DELETE" ? "" : "{\"TableName\":\"dest\"}";
        return r;
    });
    EXPECT_FALSE(initialize(true, false, &full));
    EXPECT_EQ(job.failures(), (std::vector<std::string>{"Timed out waiting for acct:dest deleted"}));
    EXPECT_EQ(sleeper->total(), 160000u);
}

TEST_F(RunnerSetup, RefusedCreate) {
    transport->reply(404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}");
    transport->reply(400, "{\"odata.error\":{\"code\":\"InvalidTableName\"}}");
    EXPECT_FALSE(initialize(false, false, &full));
    EXPECT_EQ(job.failures(),
              (std::vector<std::string>{"Create failed with {\"odata.error\":{\"code\":\"InvalidTableName\"}}"}));
}

TEST_F(RunnerSetup, TableThatNeverBecomesActiveTimesOut) {
    transport->reply(404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}");
    transport->reply(201, "{\"TableName\":\"dest\"}");
    transport->setResponder([](const platform::http::HttpExchange&) {
        platform::http::HttpReply r;
        r.status = 404;
        r.body = "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}";
        return r;
    });
    EXPECT_FALSE(initialize(false, false, &full));
    EXPECT_EQ(job.failures(), (std::vector<std::string>{"Timed out waiting for acct:dest active"}));
    EXPECT_EQ(sleeper->total(), 122000u);
}

TEST_F(RunnerSetup, IncrementalMetadataMustBeReadable) {
    EXPECT_TRUE(runner->prepareIncrementalRestore(credentials, &incremental, "dest"));
    MemoryEnvironment noMetadata("/store/incr-without-metadata");
    EXPECT_FALSE(runner->prepareIncrementalRestore(credentials, &noMetadata, "dest"));
    EXPECT_EQ(job.failures(),
              (std::vector<std::string>{"Unable to read metadata file for incremental /store/incr-without-metadata"}));
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_TRUE(runner->conclude("dest", false));
    EXPECT_TRUE(runner->conclude("", true));
}
