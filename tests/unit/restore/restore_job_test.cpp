// The restore job: its chain rules on manifests alone, and what a run sends to the service (the
// in-memory service behind the scripted transport) for a sound, a refused and a damaged chain.
#include <gtest/gtest.h>

#include "backup/AzureTableBackupJob.h"
#include "restore/AzureTableRestoreJob.h"
#include "unit/backup/RunnerFixture.h"

using platform::Status;
using platform::store::BackupManifest;

namespace {

BackupManifest manifest(bool incremental, long long from, long long to, const char* table = "t1",
                        bool complete = true) {
    BackupManifest m;
    m.account = "acct", m.table = table, m.incremental = incremental;
    m.fromTime = from, m.toTime = to, m.complete = complete;
    return m;
}

TEST(RestoreChain, OnlyAFinishedFullBackupAndGaplessIncrementalsOfOneTableAreAccepted) {
    struct Case {
        const char* name;
        std::vector<BackupManifest> chain;
        bool useExisting;
        Status::Code code;
        const char* says;  // part of the message, or of the warning when accepted
    };
    const std::vector<Case> cases = {
        {"full alone", {manifest(false, 0, 100)}, false, Status::Code::Ok, ""},
        {"full then adjoining incremental", {manifest(false, 0, 100), manifest(true, 100, 200)}, false,
         Status::Code::Ok, ""},
        {"overlap", {manifest(false, 0, 100), manifest(true, 90, 200)}, false, Status::Code::Ok,
         "the overlap is replayed twice"},
        {"gap", {manifest(false, 0, 100), manifest(true, 110, 200)}, false, Status::Code::Refused,
         "gap between backups: f0 ends at"},
        {"incremental first", {manifest(true, 100, 200)}, false, Status::Code::Refused,
         "the first --from must be a full backup"},
        {"incremental first onto an existing table", {manifest(true, 100, 200)}, true, Status::Code::Ok, ""},
        {"two full backups", {manifest(false, 0, 100), manifest(false, 0, 200)}, false, Status::Code::Refused,
         "only the first --from may be a full backup"},
        {"another table", {manifest(false, 0, 100), manifest(true, 100, 200, "t2")}, false, Status::Code::Refused,
         "all backups must be of the same table"},
        {"unfinished", {manifest(false, 0, 100), manifest(true, 100, 200, "t1", false)}, false,
         Status::Code::Refused, "the backup in f1 did not finish"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> folders{"f0", "f1"}, warnings;
        folders.resize(c.chain.size());
        std::vector<AzureTableRestoreBackup> backups;
        Status status = AzureTableRestoreJob::checkChain(folders, c.chain, c.useExisting, backups, warnings);
        EXPECT_EQ(status.code, c.code) << status.message;
        const std::string said = status.ok() ? (warnings.empty() ? "" : warnings[0]) : status.message;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        if (status.ok()) {
            EXPECT_EQ(backups.size(), c.chain.size());
            EXPECT_EQ(!warnings.empty(), backups.back().overlapsPrevious);
        }
    }
}

class RestoreJobTest : public backup_test::ServiceTest {
protected:
    void SetUp() override {
        service.fill(25);
        backup("full", false, 0, 1700000000);
        backup("next", true, 1700000000, 1700000100);
        backup("late", true, 1700000050, 1700000200);
        transport->clearRequests();
    }
    void backup(const std::string& name, bool incremental, long long from, long long to) {
        AzureTableBackupJobOptions o;
        o.folder = folder + "/" + name;
        o.table = "t1";
        o.incremental = incremental;
        o.fromTime = from;
        o.toTime = to;
        AzureTableBackupJobResult result;
        Status status = AzureTableBackupJob(credentials, o).run(result);
        ASSERT_TRUE(status.ok()) << status.message;
    }
    Status restore(std::vector<std::string> names, AzureTableRestoreJobResult& result, bool overwrite = false,
                   bool useExisting = false) {
        AzureTableRestoreJobOptions o;
        for (const auto& name : names) o.folders.push_back(folder + "/" + name);
        o.table = "dest";
        o.overwrite = overwrite;
        o.useExisting = useExisting;
        o.onPlanned = [this](const AzureTableRestoreJobResult& plan) {
            ++planned;
            batchesWhenPlanned = service.batches().size();
            EXPECT_FALSE(plan.writingBegan);
        };
        AzureTableRestoreJob job(credentials, o);
        Status status = job.run(result);
        EXPECT_EQ(job.progress().phase, AzureTableRestorePhase::Done);
        return status;
    }
    int planned = 0;
    size_t batchesWhenPlanned = 99;
};

}  // namespace

// A chain that fails its checks sends nothing to the service: an existing destination is not
// dropped even with overwrite, a missing one is not created, --use-existing never creates it.
// A sound chain is planned (once, before anything is written) and then written whole.
TEST_F(RestoreJobTest, ARefusedOrDamagedChainSendsNothingAndASoundOneIsWrittenWhole) {
    AzureTableRestoreJobResult result;
    Status status = restore({"next"}, result, false, true);
    EXPECT_EQ(status.code, Status::Code::NotFound) << status.message;
    EXPECT_NE(status.message.find("--use-existing never creates it"), std::string::npos) << status.message;
    EXPECT_FALSE(service.hasTable("dest"));

    service.addTable("dest");
    transport->clearRequests();
    Status gap = restore({"full", "late"}, result, true);
    EXPECT_EQ(gap.code, Status::Code::Refused) << gap.message;
    EXPECT_NE(gap.message.find("gap between backups"), std::string::npos) << gap.message;

    const std::string sound = temp.read("next/data-000001.jsonl");
    temp.write("next/data-000001.jsonl", std::string(sound).replace(20, 1, "#"));
    Status damaged = restore({"full", "next"}, result, true);
    EXPECT_EQ(damaged.code, Status::Code::Damaged) << damaged.message;
    EXPECT_NE(damaged.message.find("the backup in " + folder + "/next is damaged"), std::string::npos)
        << damaged.message;
    EXPECT_FALSE(result.writingBegan);

    Status missing = restore({"full", "nothing-here"}, result);
    EXPECT_EQ(missing.code, Status::Code::NotFound) << missing.message;

    EXPECT_EQ(planned, 0);
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_TRUE(service.hasTable("dest"));

    temp.write("next/data-000001.jsonl", sound);
    AzureTableRestoreJobResult whole;
    Status restored = restore({"full", "next"}, whole, true);
    ASSERT_TRUE(restored.ok()) << restored.message;
    EXPECT_EQ(planned, 1);
    EXPECT_EQ(batchesWhenPlanned, 0u);
    EXPECT_EQ(whole.destination, AzureTableRestoreDestination::Recreated);
    EXPECT_EQ(whole.entitiesWritten, 50u);
    EXPECT_EQ(service.entities("dest").size(), 25u);
    EXPECT_TRUE(whole.writingBegan);
}
