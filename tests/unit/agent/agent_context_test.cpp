// The agent context on a real home folder (catalog and configuration in a temp folder) with the
// Table service scripted: job result directories, registry values, credentials, table listings
// and the backup reference time.
#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "agent/AgentSetup.h"
#include "agent/AzureTablePathDecoder.h"
#include "agent/AzureTableRemoteFileFactory.h"
#include "agent/AzureTableUtil.h"
#include "agent/SubclientBackupJob.h"
#include "agent/Subclients.h"
#include "agent/SubclientRestoreJob.h"
#include "platform/catalog/Catalog.h"
#include "platform/runtime/Runtime.h"
#include "support/FakeTableService.h"
#include "support/FakeTransport.h"
#include "support/TempFolder.h"

using AzureTableIDA::AzureTableUtil;
using testing_support::FakeTransportScope;
using testing_support::TempFolder;

namespace {

class AgentContext : public ::testing::Test {
protected:
    void SetUp() override {
        AzureTableIDA::InitResult init;
        ASSERT_TRUE(AzureTableIDA::initHome(folder.file("home"), init).ok());
        ASSERT_TRUE(AzureTableIDA::openHome(runtime, folder.file("home")).ok());
        ASSERT_TRUE(runtime.catalog(catalog).ok());
        instanceId = init.instanceId;
        subclientId = init.subclientId;
        backupSetId = init.backupSetId;
        // Each account answers the table listing with two tables, or as `replies` says.
        scope->setResponder([this](const platform::http::HttpExchange& e) {
            for (const auto& refused : refusedHosts)
                if (e.url.find(refused) != std::string::npos)
                    return testing_support::httpReply(
                        403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\",\"message\":{\"value\":\"bad key\"}}}");
            const size_t named = e.url.find("Tables('");
            if (named != std::string::npos)  // a describe: the table exists
                return testing_support::httpReply(
                    200, "{\"TableName\":\"" + e.url.substr(named + 8, e.url.find('\'', named + 8) - named - 8) + "\"}");
            return testing_support::httpReply(200, "{\"value\":[{\"TableName\":\"t1\"},{\"TableName\":\"t2\"}]}");
        });
    }
    void addAccount(const std::string& name) {
        ASSERT_TRUE(catalog->putAccount(instanceId, name, "http://" + name + ".127.0.0.1:9", "a2V5LW9mLQ" + name + "=").ok());
    }

    TempFolder folder;
    platform::Runtime runtime;
    FakeTransportScope scope{runtime};
    platform::catalog::Catalog* catalog = nullptr;
    long long addSubclient(const std::string& name, const std::vector<App::CloudDBEntity>& children) {
        App::CloudDBEntity content;
        for (const auto& child : children) content.addChild(child);
        std::string xml;
        EXPECT_EQ(content.serialize(xml), 0);
        long long id = 0;
        EXPECT_TRUE(catalog->addSubclient(backupSetId, name, xml, "", false, id).ok());
        return id;
    }
    std::vector<std::string> pairs(AzureTableUtil& util) {
        std::vector<std::string> result;
        for (const auto& table : util.config.tables) result.push_back(table.storageAccount() + "/" + table.tableName());
        return result;
    }

    unsigned long instanceId = 0, subclientId = 0;
    long long backupSetId = 0;
    std::vector<std::string> refusedHosts;
};

TEST_F(AgentContext, JobResultsDirectoriesFollowTheLayoutAndBadIdsCreateNothing) {
    AzureTableUtil util(17, 2, runtime);
    EXPECT_EQ(util.CreateJobResultsDirectory(), 1) << "job id 0";
    EXPECT_TRUE(util.jobResultsDir.empty());
    util.jobId = 900;
    ASSERT_EQ(util.CreateJobResultsDirectory(), 0);
    const std::string results = folder.file("home/jobresults");
    EXPECT_EQ(util.jobResultsDir, results + "/KX_JobResults/2/0/900");
    EXPECT_EQ(util.subclientDir, results + "/2/17");
    EXPECT_TRUE(testing_support::pathExists(results + "/2/17/osc"));
    EXPECT_TRUE(testing_support::pathExists(results + "/KX_JobResults/2/0/900"));
    EXPECT_FALSE(util.getLocalHostName().empty());

    runtime.log().registerSecret("c2VjcmV0LWtleQ==");
    util.majorEvent("table t1 failed with key c2VjcmV0LWtleQ==");
    std::vector<platform::catalog::EventRecord> events;
    ASSERT_TRUE(AzureTableIDA::listEvents(runtime, -1, events).ok());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].severity, platform::catalog::EventRecord::Major);
    EXPECT_EQ(events[0].eventId, AzureTableUtil::kJobEventId);
    EXPECT_EQ(events[0].message, "table t1 failed with key ***");
}

TEST_F(AgentContext, RegistryValuesComeFromTheNamedSectionAndNeverOverrunTheBuffer) {
    char buffer[256];
    EXPECT_EQ(AzureTableIDA::GetRegistryItemValue("JobResultsDirectory", nullptr, 10, "", true, nullptr, runtime), -1);
    buffer[0] = 'x';
    EXPECT_EQ(AzureTableIDA::GetRegistryItemValue("JobResultsDirectory", buffer, 0, "", true, nullptr, runtime), -1);
    EXPECT_EQ(buffer[0], 'x') << "a buffer of size 0 is not written";
    // The management-server flag wins over the section argument.
    ASSERT_EQ(AzureTableIDA::GetRegistryItemValue("JobResultsDirectory", buffer, sizeof buffer, "", true,
                                                  AzureTableIDA::c_dynamoSubKey, runtime), 0);
    EXPECT_EQ(std::string(buffer), folder.file("home/jobresults"));
    EXPECT_EQ(AzureTableIDA::GetRegistryItemValue("JobResultsDirectory", buffer, sizeof buffer, "", false, nullptr,
                                                  runtime), -1);
    EXPECT_EQ(AzureTableIDA::GetRegistryItemValue("StoreDirectory", buffer, sizeof buffer, "", false, nullptr, runtime), 0);
    EXPECT_EQ(AzureTableIDA::GetRegistryItemValue("StoreDirectory", buffer, 4, "", false, nullptr, runtime), -1);
}

TEST_F(AgentContext, CredentialsAreFilledUntilAnAccountFailsAndListingsStopAtTheFirstFailure) {
    addAccount("a");
    addAccount("c");
    {
        AzureTableUtil util(runtime);
        util.credentialMap["a"];
        util.credentialMap["b"];  // not an account of the instance: its key cannot be fetched
        EXPECT_EQ(util.initializeCredentialMap(instanceId), -1);
        EXPECT_EQ(util.credentialMap["a"].accountUrl, "http://a.127.0.0.1:9");
        EXPECT_TRUE(util.credentialMap["b"].accessKey.empty());
        EXPECT_EQ(util.credentialMap["b"].spareNumber, -1);
    }
    addAccount("b");
    refusedHosts = {"//b."};
    AzureTableUtil util(runtime);
    ASSERT_EQ(util.InitFromInstanceProp(instanceId), 0);
    ASSERT_EQ(util.credentialMap.size(), 3u);
    std::vector<App::AzureDBTable> tables;
    EXPECT_EQ(util.listTables("", tables), -1);
    ASSERT_EQ(tables.size(), 2u) << "only the first account's tables";
    EXPECT_EQ(tables[0].storageAccount(), "a");
    EXPECT_EQ(tables[1].tableName(), "t2");

    tables.clear();
    EXPECT_EQ(util.listTables("unknown", tables), -1);
    EXPECT_TRUE(util.credentialMap.count("unknown")) << "an unknown account is added with empty credentials";
    AzureTableUtil empty(runtime);
    EXPECT_EQ(empty.listTables("", tables), 0);
    EXPECT_TRUE(tables.empty());

    // The setup view goes on past a failure and says which account failed and why.
    std::vector<AzureTableIDA::AccountTables> listings;
    platform::Status status = AzureTableIDA::listTables(runtime, "default", "", listings);
    EXPECT_FALSE(status.ok());
    ASSERT_EQ(listings.size(), 3u);
    EXPECT_TRUE(listings[1].failed);
    EXPECT_NE(status.message.find("b: "), std::string::npos) << status.message;
    EXPECT_NE(listings[1].failure.find("AuthenticationFailed"), std::string::npos) << listings[1].failure;
    EXPECT_EQ(listings[2].tables.size(), 2u);
}

TEST_F(AgentContext, TheReferenceTimeIsStoredBesideTheOtherConfigurationFields) {
    AzureTableUtil missing(999, 2, runtime);
    long long refTime = 5;
    EXPECT_EQ(missing.setBackupRefTime(1), -1);
    EXPECT_EQ(missing.getLastBackupRefTime(refTime), -1);
    EXPECT_EQ(refTime, 5);

    AzureTableUtil util(static_cast<unsigned>(subclientId), 2, runtime);
    ASSERT_EQ(util.setBackupRefTime(1796000000), 0) << "an empty configuration gets the time alone";
    ASSERT_EQ(util.getLastBackupRefTime(refTime), 0);
    EXPECT_EQ(refTime, 1796000000);

    App::AzureTableAgentConfig config;
    config.setChunkSizeMB(64);
    config.setint64(9, -42);  // a field this agent does not know
    std::string xml;
    ASSERT_EQ(config.serialize(xml), 0);
    ASSERT_TRUE(catalog->setSubclientConfigXml(subclientId, xml).ok());
    ASSERT_EQ(util.setBackupRefTime(1796000600), 0);
    platform::catalog::SubclientRecord stored;
    ASSERT_TRUE(catalog->findSubclient(static_cast<long long>(subclientId), stored).ok());
    App::AzureTableAgentConfig after;
    ASSERT_EQ(after.unserialize(stored.configXml), 0);
    EXPECT_EQ(after.chunkSizeMB(), 64);
    EXPECT_EQ(after.getint64(9), -42);
    EXPECT_EQ(after.lastBackupRefTime(), 1796000600);

    ASSERT_TRUE(catalog->setSubclientConfigXml(subclientId, "<not-a-message").ok());
    refTime = 7;
    EXPECT_NE(util.getLastBackupRefTime(refTime), 0);
    EXPECT_EQ(refTime, 7);
}

TEST_F(AgentContext, ContentExpandsIntoTablesAndTheDefaultSubclientLeavesOutWhatOthersCover) {
    addAccount("a");
    addAccount("c");
    using E = App::CloudDBEntity;
    struct Case {
        std::vector<E> content;
        int init, fetch;
        std::vector<std::string> tables;
        bool allAccounts;
        size_t accounts;
    };
    const Case cases[] = {
        {{E::root()}, 0, 0, {"a/t1", "a/t2", "c/t1", "c/t2"}, true, 2},
        // The account once in the map; the table twice in the list, in content order.
        {{E::storageAccount("a"), E::table("a", "t2")}, 0, 0, {"a/t1", "a/t2", "a/t2"}, false, 1},
        {{E::table("c", "t9")}, 0, 0, {"c/t9"}, false, 1},
        {{}, 0, -1, {}, false, 0},
        {{E::root(), E()}, -1, -1, {}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tables.size());
        long long id = addSubclient("s" + std::to_string(&c - cases), c.content);
        AzureTableUtil util(static_cast<unsigned>(id), 2, runtime);
        ApplicationId application(2, static_cast<unsigned long>(id), runtime);
        bool allAccounts = false;
        EXPECT_EQ(util.InitFromSubclientProp(application.getSubclient(), allAccounts), c.init);
        EXPECT_EQ(allAccounts, c.allAccounts);
        const unsigned long subclient = static_cast<unsigned long>(id);
        EXPECT_EQ(util.FetchTables(application, subclient, false, allAccounts), c.fetch);
        EXPECT_EQ(pairs(util), c.tables);
        EXPECT_EQ(util.credentialMap.size(), c.accounts);
        ASSERT_TRUE(catalog->removeSubclient(id).ok());
    }

    // The default subclient (whole instance) drops what the other subclients of its set cover,
    // named directly or through their account.
    addSubclient("one", {E::table("a", "t1")});
    addSubclient("two", {E::storageAccount("c")});
    AzureTableUtil util(static_cast<unsigned>(subclientId), 2, runtime);
    ApplicationId application(2, subclientId, runtime);
    bool allAccounts = false;
    ASSERT_EQ(util.InitFromSubclientProp(application.getSubclient(), allAccounts), 0);
    ASSERT_EQ(util.FetchTables(application, subclientId, true, allAccounts), 0);
    EXPECT_EQ(pairs(util), std::vector<std::string>{"a/t2"});
    std::vector<App::AzureDBTable>* tables = nullptr;
    EXPECT_FALSE(util.getTables(tables).isError());
    EXPECT_EQ(tables, &util.config.tables);

    std::string pair, account, table;
    util.toAccountTablePair("acct", "tab", pair);
    EXPECT_EQ(pair, "acct\ttab");
    util.fromAccountTablePair(pair, account, table);
    EXPECT_EQ(account + "/" + table, "acct/tab");
    util.config.tables.clear();
    EXPECT_EQ(util.getTables(tables).getMessage(), "There are no tables in the config");
}

TEST_F(AgentContext, InitializeReadsTheApplicationIdAndBindsAJob) {
    struct Case { std::vector<std::string> words; unsigned long long cell, app; };
    const Case cases[] = {
        {{"-a", "2:17"}, 2, 17}, {{"-a", "0x2:0x11"}, 2, 17}, {{"-a", "17"}, 0, 0},
        {{"-a", "2:17:5"}, 0, 0}, {{}, 0, 0}, {{"-a=-1:17"}, 0, 0}, {{"-a", "2:-17"}, 0, 0},
    };
    for (const auto& c : cases) {
        auto arguments = boost::make_shared<CProgramArguments>(c.words);
        AzureTableUtil util(0, 0, runtime);
        EXPECT_EQ(util.Initialize(arguments), 1) << "the job id is 0";
        EXPECT_EQ(util.appId, c.app);
        EXPECT_EQ(util.quorvCellId, c.cell);
    }
    AzureTableUtil unbound(17, 2, runtime);
    EXPECT_EQ(unbound.Initialize(0, 0, 0), 1);
    EXPECT_EQ(unbound.Initialize(2, 17, -5), 1);

    addAccount("a");
    AzureTableUtil util(runtime);
    util.jobId = 900;
    auto arguments = boost::make_shared<CProgramArguments>(std::vector<std::string>{"-a", "2:" + std::to_string(subclientId)});
    ASSERT_EQ(util.Initialize(arguments), 0);
    EXPECT_EQ(pairs(util), (std::vector<std::string>{"a/t1", "a/t2"}));
    EXPECT_FALSE(util.localHostName.empty());
    EXPECT_FALSE(util.clientName.empty());
    EXPECT_EQ(util.credentialMap["a"].accountUrl, "http://a.127.0.0.1:9");
    EXPECT_TRUE(testing_support::pathExists(util.jobResultsDir));
}

TEST_F(AgentContext, ARestoreChainIsTheNewestFullBackupAtOrBeforeTheTimeAndTheIncrementalsAfterIt) {
    // F1 at 100, I2 200, I3 300, F4 400, I5 500 (job ids as created), then a failed job.
    const int levels[] = {1, 2, 2, 1, 2};
    std::vector<long long> ids;
    for (int i = 0; i < 5; ++i) {
        platform::catalog::JobRecord job;
        job.subclientId = static_cast<long long>(subclientId);
        job.level = levels[i];
        job.referenceTime = 100 * (i + 1);
        job.status = "completed";
        long long id = 0, file = 0;
        ASSERT_TRUE(catalog->addJob(job, id).ok());
        ASSERT_TRUE(catalog->addArchiveFile({0, id, levels[i], job.referenceTime}, file).ok());
        const std::string path = AzureTableIDA::AzureTablePathDecoder::toPath("acct", "tab", levels[i] == 2, id, "/");
        std::string xml;
        ASSERT_EQ(IdxMetadata::DynamoDBMetadata("{\"table\":" + std::to_string(id) + "}").serialize(xml), 0);
        ASSERT_TRUE(catalog->putIndexEntry(id, path, xml).ok());
        ids.push_back(id);
    }
    struct Case { unsigned long toTime; std::vector<int> selected; int earlier; size_t levels; };
    const Case cases[] = {{350, {0, 1, 2}, -1, 5}, {450, {3}, 2, 3}, {0, {3, 4}, 2, 3}, {50, {}, -1, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.toTime);
        AzureTableUtil util(static_cast<unsigned>(subclientId), 2, runtime);
        std::vector<long long> selected;
        AzureTableIDA::KXJobID earlier = -7;
        std::vector<GetArchFileListForJobRetCC_t> files;
        std::map<long long, unsigned long long> jobLevels;
        ASSERT_FALSE(util.getJobListByAppId(c.toTime, selected, earlier, files, jobLevels, 0, 0).isError());
        std::vector<long long> expected;
        for (int index : c.selected) expected.push_back(ids[index]);
        EXPECT_EQ(selected, expected);
        EXPECT_EQ(earlier, c.earlier < 0 ? 0 : ids[c.earlier]);
        EXPECT_EQ(jobLevels.size(), c.levels);
    }
    // The stored description of one table in one job, found whichever kind the caller guessed.
    AzureTableUtil util(static_cast<unsigned>(subclientId), 2, runtime);
    IdxMetadata::DynamoDBMetadata metadata;
    bool incremental = false;
    ASSERT_TRUE(util.browseIndexForTable("acct", "tab", ids[1], "", "", 0, 2, subclientId, metadata, incremental));
    EXPECT_TRUE(incremental) << "the second browse, of the other kind, found it";
    EXPECT_EQ(metadata.description(), "{\"table\":" + std::to_string(ids[1]) + "}");
    EXPECT_FALSE(util.browseIndexForTable("acct", "other", ids[1], "", "", 0, 2, subclientId, metadata, incremental));

    // A level this agent does not back up fails the selection; an application without jobs
    // selects nothing and succeeds.
    long long odd = 0, file = 0;
    platform::catalog::JobRecord job;
    job.subclientId = static_cast<long long>(subclientId);
    job.status = "completed";
    ASSERT_TRUE(catalog->addJob(job, odd).ok());
    ASSERT_TRUE(catalog->addArchiveFile({0, odd, 4, 600}, file).ok());
    std::vector<long long> selected;
    AzureTableIDA::KXJobID earlier = 0;
    std::vector<GetArchFileListForJobRetCC_t> files;
    std::map<long long, unsigned long long> jobLevels;
    EXPECT_EQ(util.getJobListByAppId(0, selected, earlier, files, jobLevels, 0, 0).getMessage(),
              "Backup job [" + std::to_string(odd) + "] with createTime 600 <= toTime 0, backupLevel 4.  Backup type is not supported.");
    long long other = addSubclient("empty", {App::CloudDBEntity::root()});
    selected.clear();
    EXPECT_FALSE(util.getJobListByAppId(0, selected, earlier, files, jobLevels, static_cast<unsigned long>(other), 0).isError());
    EXPECT_TRUE(selected.empty());
}

namespace {

std::string restoreOptionsXml(bool overwrite, const std::vector<std::pair<App::AzureDBTable, App::AzureDBTable>>& pairs) {
    App::AzureDbRestoreOptions azure;
    azure.setOverwrite(overwrite);
    azure.list(App::AzureDbRestoreOptions::DestinationTablesField);
    for (const auto& pair : pairs) azure.addDestinationTable(pair.first, pair.second);
    App::RestoreJobOptions options;
    options.setAzureDbRestoreOptions(azure);
    std::string xml;
    options.serialize(xml);
    return xml;
}

}  // namespace

TEST_F(AgentContext, ThePlugInRoutesEachObjectToAnInputPreparedForItsOwnDestination) {
    addAccount("b");
    platform::catalog::JobRecord job;
    job.subclientId = static_cast<long long>(subclientId);
    long long restoreJob = 0;
    ASSERT_TRUE(catalog->addJob(job, restoreJob).ok());
    AzureTableRemoteFileRestoreFactory factory(runtime);
    EXPECT_EQ(factory.Initialize(restoreJob).getMessage(), "Failed to retrieve XML options from restore rstTask");
    EvRstTask task(restoreJob, 0, nullptr, false, false, runtime);
    ASSERT_EQ(task.setXMLOptions("<message"), 0);
    EXPECT_EQ(factory.Initialize(restoreJob).getMessage(), "Failed to unserialize restore job options [<message]");
    std::string bare;
    App::RestoreJobOptions().serialize(bare);
    ASSERT_EQ(task.setXMLOptions(bare), 0);
    EXPECT_EQ(factory.Initialize(restoreJob).getMessage(), "CloudAppsRestoreOptions not found");
    ASSERT_EQ(task.setXMLOptions(restoreOptionsXml(false, {{App::AzureDBTable("a", "t1"), App::AzureDBTable("b", "t2")}})), 0);
    ASSERT_FALSE(factory.Initialize(restoreJob).isError());

    CloudConnectionDetails connection;
    connection.destinationInstanceId = instanceId;
    CExtendedOptions extended;
    std::string metadata;
    IdxMetadata::DynamoDBMetadata("{\"table\":{\"TableName\":\"t1\"}}").serialize(metadata);
    extended.setOption("a:t1", metadata);
    connection.extendedOptions = extended.toString();
    struct Step { std::string path; int code; bool same; const char* input; };
    const Step steps[] = {
        {"/a/t1/F40/data-000001.jsonl", 0, false, "full"},
        {"/a/t1/F40/data-000002.jsonl", 0, true, "full"},
        {"/a/t1/F40", 0, false, "ignore"},
        {"/a/t1/F40/data-000003.jsonl", 0, false, "full"},
        // No destination: the error, and no later object of that folder reaches t1's input.
        {"/a/t9/F40/data-000001.jsonl", 87, false, "none"},
        {"/a/t9/F40/data-000002.jsonl", 87, false, "none"},
        {"/a/t1/I41/data-000001.jsonl", 0, false, "incremental"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.path);
        bool same = false;
        CTnError result = factory.Process(connection, step.path, same);
        EXPECT_EQ(result.getCode(), step.code) << result.toString();
        EXPECT_EQ(same, step.same);
        auto input = factory.currentInput();
        const std::string kind = !input ? "none"
                                 : dynamic_cast<BufferedRestoreFromFull*>(input.get())        ? "full"
                                 : dynamic_cast<BufferedRestoreFromIncremental*>(input.get()) ? "incremental"
                                                                                              : "ignore";
        EXPECT_EQ(kind, step.input);
    }
    EXPECT_EQ(factory.Process(connection, "/a/t9/F40/x", *std::make_unique<bool>()).getMessage(),
              "Failed to get destination(/) for source(a/t9)");
    connection.extendedOptions.clear();
    bool same = false;
    EXPECT_EQ(factory.Process(connection, "/a/t1/I42/data-000001.jsonl", same).getMessage(),
              "Failed to unserialize DynamoDBMetadata");

    // The entry point is exported by name, without C++ decoration.
    void* library = ::dlopen(AZT_BINARY_DIR "/lib/libaztable.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto entry = reinterpret_cast<CloudDBRemoteFileFactory* (*)()>(::dlsym(library, "GetRemoteFileFactory"));
    ASSERT_NE(entry, nullptr);
    delete entry();
    ::dlclose(library);
}

TEST_F(AgentContext, RestoreOptionsPrepareOneRunnerPerDestinationWithItsAccount) {
    addAccount("b");
    platform::catalog::JobRecord job;
    job.subclientId = static_cast<long long>(subclientId);
    long long restoreJob = 0;
    ASSERT_TRUE(catalog->addJob(job, restoreJob).ok());
    auto task = boost::make_shared<EvRstTask>(restoreJob, 0, nullptr, false, false, runtime);
    std::string metadata, untouched = "kept";
    IdxMetadata::DynamoDBMetadata("{\"table\":{\"TableName\":\"t1\"}}").serialize(metadata);

    AzureTableUtil util(runtime);
    EXPECT_EQ(util.InitializeForRestore(0), 1);
    ASSERT_EQ(util.InitializeForRestore(instanceId), 0);
    ASSERT_EQ(task->setXMLOptions(restoreOptionsXml(false, {})), 0);
    EXPECT_FALSE(util.ProcessRestoreOptions(task, {}, false, untouched).isError());
    EXPECT_TRUE(util.restoreRunners.empty());

    ASSERT_EQ(task->setXMLOptions(restoreOptionsXml(false, {{App::AzureDBTable("a", "t1"), App::AzureDBTable("b", "t2")},
                                                           {App::AzureDBTable("a", "t3"), App::AzureDBTable("b", "t4")}})), 0);
    CTnError missing = util.ProcessRestoreOptions(task, {{"a:t1", metadata}}, true, untouched);
    EXPECT_EQ(missing.getCode(), 1168);
    EXPECT_EQ(missing.getMessage(), "Metadata not found for a:t3");
    ASSERT_EQ(util.restoreRunners.size(), 1u) << "the runner made before the failure stays";
    EXPECT_TRUE(util.restoreRunners.count("t2"));
    EXPECT_EQ(untouched, "kept");
    bool describedOnB = false;
    for (const auto& request : scope->requests()) describedOnB |= request.url.find("//b.") != std::string::npos;
    EXPECT_TRUE(describedOnB) << "the destination account's credentials are used";
    EXPECT_FALSE(util.CleanupRestore().isError());
    EXPECT_TRUE(util.restoreRunners.empty());
}

TEST_F(AgentContext, AResumeWaitsWhileAnotherJobOfTheSubclientRuns) {
    platform::catalog::JobRecord running, failed;
    running.subclientId = failed.subclientId = static_cast<long long>(subclientId);
    running.status = "running";
    failed.status = "failed";
    long long runningId = 0, failedId = 0;
    ASSERT_TRUE(catalog->addJob(running, runningId).ok());
    ASSERT_TRUE(catalog->addJob(failed, failedId).ok());
    // The running job's process holds its lock.
    const std::string lock = folder.file("home/jobresults/job-" + std::to_string(runningId) + ".lock");
    int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    AzureTableIDA::SubclientBackupOptions options;
    options.resumeJob = failedId;
    AzureTableIDA::SubclientBackupJob job(runtime, options);
    AzureTableIDA::SubclientBackupResult result;
    platform::Status status = job.run(result);
    ::close(fd);
    EXPECT_EQ(status.code, platform::Status::Code::Refused);
    EXPECT_NE(status.message.find("job " + std::to_string(runningId) + " of subclient default is still running"),
              std::string::npos)
        << status.message;
}

TEST(AgentTimes, EpochTimeReadsTheJobManagerTextAsLocalTime) {
    struct tm fields {};
    fields.tm_year = 121;
    fields.tm_mday = 4;
    fields.tm_hour = 10;
    fields.tm_min = 30;
    fields.tm_sec = 5;
    fields.tm_isdst = -1;
    AzureTableUtil util;
    EXPECT_EQ(util.GetEpochTime("Mon Jan 04 2021 10:30:05"), static_cast<long long>(std::mktime(&fields)));
    EXPECT_EQ(util.GetEpochTime("Mon jan 04 2021 10:30:05"), 0);
    fields.tm_min = 0;
    fields.tm_sec = 0;
    EXPECT_EQ(util.GetEpochTime("Mon Jan 04 2021 10 trailing"), static_cast<long long>(std::mktime(&fields)));

    // A restore's --to-time: GetEpochTime reads 0 for a month it does not know, and 0 means "no
    // bound", so a typo would restore the newest state; such text is refused before the call.
    fields.tm_min = 30;
    fields.tm_sec = 5;
    const long long local = static_cast<long long>(std::mktime(&fields));
    struct Case { const char* text; long long seconds; };  // -1: refused
    const Case cases[] = {
        {"1796000000", 1796000000},
        {"2026-12-06T10:00:00Z", 1796551200},
        {"2026-12-06T11:00:00+01:00", 1796551200},
        {"Mon Jan 04 2021 10:30:05", local},
        {" Mon Jan 04 2021 10:30:05 ", local},
        {"Mon jan 04 2021 10:30:05", -1},
        {"Mon Jan 04 2021 10:30", -1},
        {"Mon Jan 04 2021 10:30:05 extra", -1},
        {"Mon Jan 32 2021 10:30:05", -1},
        {"Mon Jan 04 2021 25:30:05", -1},
        {"yesterday", -1},
        {"", -1},
        {"0", -1},
        {"-5", -1},
        {"1796000000ms", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        long long seconds = 0;
        std::string why;
        const bool read = AzureTableIDA::parseRestoreTime(c.text, seconds, why);
        EXPECT_EQ(read, c.seconds >= 0) << why;
        if (read) EXPECT_EQ(seconds, c.seconds);
        else EXPECT_NE(why.find("not"), std::string::npos) << why;
    }

    struct Mapping { const char* text; const char* source; const char* destination; };  // destination "": refused
    const Mapping mappings[] = {
        {"a/t", "a/t", "/"},
        {"a/t=b/u", "a/t", "b/u"},
        {"a/t=", "", ""},
        {"a", "", ""},
        {"/t", "", ""},
        {"a/t/x", "", ""},
        {"a/t=b", "", ""},
    };
    for (const auto& m : mappings) {
        SCOPED_TRACE(m.text);
        AzureTableIDA::RestoreTableMapping mapping;
        std::string why;
        const bool read = AzureTableIDA::parseRestoreTableMapping(m.text, mapping, why);
        EXPECT_EQ(read, *m.destination != 0) << why;
        if (!read) continue;
        EXPECT_EQ(mapping.sourceAccount + "/" + mapping.sourceTable, m.source);
        EXPECT_EQ(mapping.destinationAccount + "/" + mapping.destinationTable, m.destination);
    }
}

TEST(AgentHome, InitIsPrivateRepeatableAndRefusesAFolderItCannotUse) {
    TempFolder folder;
    AzureTableIDA::InitResult first, second;
    const std::string home = folder.file("a/home");
    ASSERT_TRUE(AzureTableIDA::initHome(home, first).ok());
    EXPECT_TRUE(first.created);
    struct stat info;
    ASSERT_EQ(::stat(home.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(first.layout.catalog.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(first.layout.configuration.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string configuration = folder.read("a/home/aztable.conf");
    ASSERT_TRUE(AzureTableIDA::initHome(home, second).ok());
    EXPECT_FALSE(second.created);
    EXPECT_EQ(second.subclientId, first.subclientId);
    EXPECT_EQ(folder.read("a/home/aztable.conf"), configuration);

    folder.write("file", "x");
    EXPECT_EQ(AzureTableIDA::initHome(folder.file("file"), second).code, platform::Status::Code::Refused);
    ASSERT_EQ(::mkdir(folder.file("shared").c_str(), 0777), 0);
    ::chmod(folder.file("shared").c_str(), 0777);
    folder.write("shared/other", "x");
    EXPECT_EQ(AzureTableIDA::initHome(folder.file("shared"), second).code, platform::Status::Code::Refused);
    EXPECT_FALSE(testing_support::pathExists(folder.file("shared/catalog.db")));
    if (::geteuid() != 0) {
        ASSERT_EQ(::mkdir(folder.file("locked").c_str(), 0500), 0);
        EXPECT_EQ(AzureTableIDA::initHome(folder.file("locked"), second).code, platform::Status::Code::Refused);
    }
}

}  // namespace

// Subclients as a person defines them: names the instance does not know are refused before
// anything is stored, a table its account does not list too, and a set keeps one default.
TEST_F(AgentContext, SubclientDefinitionsAreCheckedBeforeTheyAreStored) {
    addAccount("acct1");
    using Definition = AzureTableIDA::SubclientDefinition;
    struct Case {
        const char* name;
        std::function<void(Definition&)> define;
        platform::Status::Code code;
        std::string words;
    };
    std::vector<Case> cases = {
        {"nothing named", [](Definition&) {}, platform::Status::Code::BadUsage, "--all, --account or --table"},
        {"all and more", [](Definition& d) { d.all = true, d.accounts = {"acct1"}; }, platform::Status::Code::BadUsage,
         "give it alone"},
        {"unknown account", [](Definition& d) { d.accounts = {"nobody"}; }, platform::Status::Code::NotFound,
         "no account 'nobody'"},
        {"unlisted table", [](Definition& d) { d.tables = {{"acct1", "t9"}}; }, platform::Status::Code::NotFound,
         "account 'acct1' has no table 't9'"},
        {"second default", [](Definition& d) { d.all = true, d.makeDefault = true; }, platform::Status::Code::Refused,
         "already has its default subclient 'default'"},
        {"taken name", [](Definition& d) { d.name = "default", d.all = true; }, platform::Status::Code::Refused,
         "already has a subclient 'default'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Definition d;
        d.name = "sub";
        c.define(d);
        AzureTableIDA::SubclientSummary made;
        platform::Status status = AzureTableIDA::createSubclient(runtime, d, made);
        EXPECT_EQ(status.code, c.code) << status.message;
        EXPECT_NE(status.message.find(c.words), std::string::npos) << status.message;
    }
    std::vector<AzureTableIDA::SubclientSummary> all;
    ASSERT_TRUE(AzureTableIDA::listSubclients(runtime, "default", all).ok());
    EXPECT_EQ(all.size(), 1u);

    // A table of an account named whole is left out: one writer per table. A new set may have
    // its own default subclient.
    Definition d;
    d.name = "sub";
    d.backupSet = "other";
    d.makeDefault = true;
    d.accounts = {"acct1"};
    d.tables = {{"acct1", "t1"}, {"acct1", "t1"}};
    AzureTableIDA::SubclientSummary made;
    ASSERT_TRUE(AzureTableIDA::createSubclient(runtime, d, made).ok());
    EXPECT_EQ(made.content, std::vector<std::string>{"account acct1"});
    EXPECT_TRUE(made.isDefault);
    EXPECT_EQ(made.backupSet, "other");
    EXPECT_EQ(AzureTableIDA::deleteSubclient(runtime, "default", "other", "sub").code, platform::Status::Code::Refused);
}

// Each account/table pair once, and accounts taken in turn so that N workers never all hold
// one account while another waits.
TEST(SubclientJob, TablesAreUniqueAndAccountsTakeTurns) {
    auto tables = [](const std::vector<std::string>& names) {
        std::vector<App::AzureDBTable> out;
        for (const auto& name : names) out.emplace_back(name.substr(0, 1), name.substr(1));
        return out;
    };
    auto names = [](const std::vector<App::AzureDBTable>& list, const std::vector<size_t>& order) {
        std::string text;
        for (size_t i : order) text += list[i].storageAccount() + list[i].tableName() + " ";
        return text;
    };
    const auto unique = AzureTableIDA::uniqueTables(tables({"a1", "a2", "b1", "a1", "a3", "b2", "c1", "a4", "b1"}));
    ASSERT_EQ(unique.size(), 7u);
    EXPECT_EQ(names(unique, AzureTableIDA::scheduleOrder(unique)), "a1 b1 c1 a2 b2 a3 a4 ");
    EXPECT_TRUE(AzureTableIDA::scheduleOrder({}).empty());
    const auto one = tables({"a1", "a2", "a3"});
    EXPECT_EQ(names(one, AzureTableIDA::scheduleOrder(one)), "a1 a2 a3 ");
}

// The job's restart string in the job manager's form, read back through the restart info:
// finished tables -1, unfinished the pages stored, tables it does not name not started.
TEST(SubclientJob, RestartStringsRoundTripThroughTheRestartInfo) {
    struct Case {
        std::string restart;
        size_t count;
        std::vector<long long> offsets;
    };
    const std::string written = AzureTableIDA::jobRestartString({0, -1, 1, 5});
    EXPECT_EQ(written, "-o 1|0 -o 2|-1 -o 3|1 -o 4|5");
    std::vector<Case> cases = {
        {written, 4, {0, -1, 0, 4}},
        {written, 6, {0, -1, 0, 4, 0, 0}},  // tables it does not name start afresh
        {"", 2, {0, 0}},
        {"-o 2|-1 -o 2|7 -o x|9 -o 1", 3, {0, 6, 0}},  // a later item wins; malformed ones are skipped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.restart);
        EXPECT_EQ(AzureTableIDA::jobRestartOffsets(c.restart, c.count), c.offsets);
    }
}

// A subclient's table backed up full and restored through the plug-in (made in this process, on
// this runtime) into another table; then the refusals, each before anything in the service
// changes: a mapping the restore runners cannot tell apart, an account without credentials, a
// chain with a damaged chunk.
TEST_F(AgentContext, ASubclientRestoreChecksEverythingBeforeTheServiceChanges) {
    testing_support::FakeTableService service(*scope);
    service.fill(45);
    for (const char* account : {"acct", "b"})
        ASSERT_TRUE(catalog->putAccount(instanceId, account, std::string("http://") + account + ".127.0.0.1:9", "a2V5a2V5a2V5").ok());
    const long long id = addSubclient("one", {App::CloudDBEntity::table("acct", "t1")});
    AzureTableIDA::SubclientBackupOptions backup;
    backup.subclient = "one";
    AzureTableIDA::SubclientBackupResult backedUp;
    ASSERT_TRUE(AzureTableIDA::SubclientBackupJob(runtime, backup).run(backedUp).ok()) << backedUp.failure;
    ASSERT_EQ(backedUp.tables.size(), 1u);

    using Options = AzureTableIDA::SubclientRestoreOptions;
    auto restore = [&](std::vector<AzureTableIDA::RestoreTableMapping> tables, AzureTableIDA::SubclientRestoreResult& r,
                       std::function<void(Options&)> adjust = nullptr) {
        Options options;
        options.subclient = "one";
        options.tables = std::move(tables);
        options.factory = [this] { return new AzureTableRemoteFileRestoreFactory(runtime); };
        if (adjust) adjust(options);
        return AzureTableIDA::SubclientRestoreJob(runtime, options).run(r);
    };
    AzureTableIDA::SubclientRestoreResult restored;
    platform::Status status = restore({{"acct", "t1", "b", "t9"}}, restored);
    ASSERT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(restored.chain, std::vector<long long>{backedUp.jobId});
    ASSERT_EQ(restored.tables.size(), 1u);
    EXPECT_EQ(restored.tables[0].status, "restored");
    EXPECT_EQ(restored.tables[0].destination, "created");
    EXPECT_EQ(restored.tables[0].entitiesWritten, 45u);
    const auto source = service.entities("t1"), copy = service.entities("t9");
    ASSERT_EQ(copy.size(), source.size());
    for (const auto& entity : source) EXPECT_TRUE(copy.count(entity.first)) << entity.first;
    platform::catalog::JobRecord job;
    ASSERT_TRUE(catalog->getJob(restored.restoreJobId, job).ok());
    EXPECT_EQ(job.level, AzureTableIDA::kRestoreJobLevel);
    EXPECT_EQ(job.status, "completed");
    EXPECT_EQ(job.subclientId, id);

    // Options that cannot be followed, refused before anything changes.
    struct Refused { std::function<void(Options&)> adjust; platform::Status::Code code; const char* words; };
    const Refused refused[] = {
        {[](Options& o) { o.toTime = 1; }, platform::Status::Code::NotFound, "no completed backup job at or before"},
        {[](Options& o) { o.destinationInstance = "nosuch"; }, platform::Status::Code::NotFound, "no instance 'nosuch'"},
        {[](Options& o) { o.overwrite = o.useExisting = true; }, platform::Status::Code::BadUsage, "exclude each other"},
        {[](Options& o) { o.useExisting = true; }, platform::Status::Code::NotFound, "--use-existing never creates it"},
        {[](Options& o) { o.subclient = "two"; }, platform::Status::Code::NotFound, "two"},
    };
    size_t requestsBefore = scope->requests().size();
    for (const auto& r : refused) {
        SCOPED_TRACE(r.words);
        AzureTableIDA::SubclientRestoreResult result;
        status = restore({{"acct", "t1", "b", "t11"}}, result, r.adjust);
        EXPECT_EQ(status.code, r.code) << status.message;
        EXPECT_NE(status.message.find(r.words), std::string::npos) << status.message;
        EXPECT_EQ(result.restoreJobId, 0);
    }
    for (size_t i = requestsBefore; i < scope->requests().size(); ++i)
        EXPECT_EQ(scope->requests()[i].method, "GET") << scope->requests()[i].url;

    // The job reads back sound, table by table.
    AzureTableIDA::JobVerifyResult verified;
    ASSERT_TRUE(AzureTableIDA::verifyJob(runtime, backedUp.jobId, "", "", verified).ok());
    ASSERT_EQ(verified.tables.size(), 1u);
    EXPECT_EQ(verified.tables[0].status, "ok");
    EXPECT_EQ(verified.tables[0].entities, 45u);
    EXPECT_EQ(AzureTableIDA::verifyJob(runtime, backedUp.jobId, "acct", "t2", verified).code,
              platform::Status::Code::NotFound);
    EXPECT_EQ(AzureTableIDA::verifyJob(runtime, restored.restoreJobId, "", "", verified).code,
              platform::Status::Code::Refused);
    platform::catalog::JobRecord nothing;  // a job that ended before it knew its tables
    nothing.subclientId = id;
    long long nothingId = 0;
    ASSERT_TRUE(catalog->addJob(nothing, nothingId).ok());
    EXPECT_EQ(AzureTableIDA::verifyJob(runtime, nothingId, "", "", verified).code, platform::Status::Code::Refused);

    // Damage in the middle of the chunk: found by the verification, before any request that
    // changes something.
    const std::string chunk = backedUp.tables[0].folder + "/data-000001.jsonl";
    std::string bytes;
    {
        std::ifstream in(chunk, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_GT(bytes.size(), 100u);
    const size_t flipped = bytes.size() / 2;
    bytes[flipped] = static_cast<char>(bytes[flipped] ^ 0xFF);
    std::ofstream(chunk, std::ios::binary | std::ios::trunc) << bytes;
    platform::Status damage = AzureTableIDA::verifyJob(runtime, backedUp.jobId, "acct", "t1", verified);
    EXPECT_EQ(damage.code, platform::Status::Code::Damaged) << damage.message;
    ASSERT_EQ(verified.tables.size(), 1u);
    EXPECT_EQ(verified.tables[0].status, "damaged");
    EXPECT_EQ(verified.tables[0].object, "/acct/t1/F" + std::to_string(backedUp.jobId) + "/data-000001.jsonl");
    EXPECT_EQ(verified.tables[0].offset, static_cast<long long>(flipped));

    struct Refusal { std::vector<AzureTableIDA::RestoreTableMapping> tables; platform::Status::Code code; const char* words; };
    const Refusal refusals[] = {
        {{{"acct", "t1", "nosuch", "t9"}}, platform::Status::Code::Refused, "no credentials for storage account nosuch"},
        {{{"acct", "t1", "b", "t8"}, {"acct", "t1", "acct", "t8"}}, platform::Status::Code::BadUsage, "named twice"},
        {{{"acct", "t2", "b", "t8"}}, platform::Status::Code::NotFound, "holds no table acct/t2"},
        {{{"acct", "t1", "b", "t10"}}, platform::Status::Code::Damaged, "data-000001.jsonl"},
    };
    const size_t before = scope->requests().size();
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.words);
        AzureTableIDA::SubclientRestoreResult r;
        status = restore(refusal.tables, r);
        EXPECT_EQ(status.code, refusal.code) << status.message;
        EXPECT_NE(status.message.find(refusal.words), std::string::npos) << status.message;
        EXPECT_FALSE(r.serviceChanged);
        EXPECT_EQ(r.restoreJobId, 0);
    }
    for (size_t i = before; i < scope->requests().size(); ++i) {
        const auto& request = scope->requests()[i];
        EXPECT_EQ(request.method, "GET") << request.method << " " << request.url;
    }
    EXPECT_FALSE(service.hasTable("t10"));
}
