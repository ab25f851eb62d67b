// The agent context on a real home folder (catalog and configuration in a temp folder) with the
// Table service scripted: job result directories, registry values, credentials, table listings
// and the backup reference time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent/AgentSetup.h"
#include "agent/AzureTableUtil.h"
#include "platform/catalog/Catalog.h"
#include "platform/runtime/Runtime.h"
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
        // Each account answers the table listing with two tables, or as `replies` says.
        scope->setResponder([this](const platform::http::HttpExchange& e) {
            for (const auto& refused : refusedHosts)
                if (e.url.find(refused) != std::string::npos)
                    return testing_support::httpReply(
                        403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\",\"message\":{\"value\":\"bad key\"}}}");
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
    unsigned long instanceId = 0, subclientId = 0;
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
