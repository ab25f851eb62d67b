// The per-table task descriptor (both forms, and its file) and the job manager's restart offsets.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "backup/AzureTableTaskDescriptor.h"
#include "backup/BackupRestartInfo.h"
#include "platform/log/DebugLog.h"
#include "platform/log/LogWriter.h"
#include "support/FaultyFileSystem.h"
#include "support/TempFolder.h"

using AzureTableIDA::AzureTableTaskDescriptor;
using AzureTableIDA::BackupRestartInfo;
using testing_support::TempFolder;

namespace {

const char kKey[] = "c2VjcmV0LWtleS1vZi10aGUtdGVzdA==";

AzureTableTaskDescriptor sample() {
    AzureTableTaskDescriptor d;
    d.storageAccount = "acct";
    d.tableName = "t1";
    d.accessKey = kKey;
    d.accessURL = "https://acct.table.core.windows.net";
    d.timeStarted = 1700000000;
    d.fromTime = -5;
    d.JSONDescription = "{\"TableName\":\"t1\"}";
    d.RestartContext = "pk\t1:rk\n2";
    d.RestoreMetadata = "<message group=\"101\"/>";
    d.closeAfileAfterTask = false;
    return d;
}

std::map<std::string, std::string> keyedMap(const AzureTableTaskDescriptor& d) {
    DistributedIDA::DINameValue scratch;
    std::vector<DistributedIDA::DINameValue> records;
    d.save(scratch, records);
    std::map<std::string, std::string> values;
    for (const auto& r : records) values[r.name()] = r.value();
    return values;
}

bool sameFields(const AzureTableTaskDescriptor& a, const AzureTableTaskDescriptor& b) {
    return a == b && a.RestoreMetadata == b.RestoreMetadata && a.closeAfileAfterTask == b.closeAfileAfterTask;
}

// Sends the default runtime's debug lines (all levels) to a file for one test.
struct DefaultLogCapture {
    TempFolder folder;
    int level = g_ptrLogWriter->getLevel();
    DefaultLogCapture() {
        platform::log::setDebugLogFile(folder.file("debug.log"));
        g_ptrLogWriter->setLevel(3);
    }
    ~DefaultLogCapture() {
        g_ptrLogWriter->setLevel(level);
        platform::log::setDebugLogFile("");
    }
    std::string text() const { return folder.read("debug.log"); }
};

}  // namespace

TEST(TaskDescriptor, BothFormsRoundTrip) {
    const AzureTableTaskDescriptor original = sample();

    DistributedIDA::DINameValue scratch;
    std::vector<DistributedIDA::DINameValue> records{DistributedIDA::DINameValue("kept", "x")};
    original.save(scratch, records);
    original.save(scratch, records);
    EXPECT_EQ(records.size(), 21u) << "appended twice after what the list held";
    EXPECT_EQ(records[5].name() + "=" + records[5].value(), "closeAfileAfterTask=0");
    EXPECT_EQ(scratch.name() + "=" + scratch.value(), "fromTime=-5");

    AzureTableTaskDescriptor keyed;
    ASSERT_TRUE(keyed.restore(keyedMap(original)).isSuccess());
    EXPECT_TRUE(sameFields(keyed, original));

    std::vector<std::string> list{"stale"};
    original.save(list);
    EXPECT_EQ(list[7], "1700000000");
    AzureTableTaskDescriptor listed;
    ASSERT_TRUE(listed.restore(list));
    EXPECT_TRUE(listed == original);
    EXPECT_TRUE(listed.closeAfileAfterTask) << "the list form does not carry it";

    AzureTableTaskDescriptor unchanged = sample();
    EXPECT_FALSE(unchanged.restore(std::vector<std::string>(10, "x")));
    EXPECT_TRUE(sameFields(unchanged, original));
}

TEST(TaskDescriptor, KeyedTextsAMissingNameAndEquality) {
    struct Case { std::string name, text; bool close; long long timeStarted, fromTime; };
    const Case cases[] = {
        {"closeAfileAfterTask", "", true, 1700000000, -5},
        {"closeAfileAfterTask", "false", true, 1700000000, -5},
        {"closeAfileAfterTask", "0", false, 1700000000, -5},
        {"timeStarted", "12x", false, 12, -5},
        {"timeStarted", "x", false, 0, -5},
        {"fromTime", " -7", false, 1700000000, -7},
    };
    for (const auto& c : cases) {
        auto values = keyedMap(sample());
        values[c.name] = c.text;
        AzureTableTaskDescriptor d;
        ASSERT_TRUE(d.restore(values).isSuccess());
        EXPECT_EQ(d.closeAfileAfterTask, c.close) << c.name << "=" << c.text;
        EXPECT_EQ(d.timeStarted, c.timeStarted) << c.name << "=" << c.text;
        EXPECT_EQ(d.fromTime, c.fromTime) << c.name << "=" << c.text;
    }

    auto values = keyedMap(sample());
    values.erase("fromTime");
    AzureTableTaskDescriptor partly;
    partly.fromTime = 99;
    CTnError error = partly.restore(values);
    EXPECT_EQ(error.getCode(), 1627);
    EXPECT_EQ(error.getMessage(), "Value not found in map for name [fromTime]");
    EXPECT_EQ(error.locations().size(), 2u) << "the extractor's and the restore's";
    EXPECT_EQ(partly.RestoreMetadata, sample().RestoreMetadata);
    EXPECT_EQ(partly.timeStarted, 1700000000);
    EXPECT_EQ(partly.fromTime, 99);
    EXPECT_TRUE(partly.closeAfileAfterTask);

    for (auto field : {&AzureTableTaskDescriptor::storageAccount, &AzureTableTaskDescriptor::tableName,
                       &AzureTableTaskDescriptor::accessKey, &AzureTableTaskDescriptor::accessURL,
                       &AzureTableTaskDescriptor::JSONDescription, &AzureTableTaskDescriptor::RestartContext}) {
        AzureTableTaskDescriptor d = sample();
        d.*field += "x";
        EXPECT_TRUE(d != sample());
    }
    for (auto field : {&AzureTableTaskDescriptor::timeStarted, &AzureTableTaskDescriptor::fromTime}) {
        AzureTableTaskDescriptor d = sample();
        d.*field += 1;
        EXPECT_TRUE(d != sample());
    }
    AzureTableTaskDescriptor d = sample();
    d.RestoreMetadata = "other";
    d.closeAfileAfterTask = true;
    EXPECT_TRUE(d == sample());
}

// The descriptor holds an access key: on disk it is private and replaced whole, and neither
// its log lines nor its errors ever carry the key or the descriptor's text.
TEST(TaskDescriptor, FileIsPrivateDurableAndKeyNeverLogged) {
    DefaultLogCapture log;
    TempFolder folder;
    const std::string path = folder.file("task.json");
    folder.write("task.json", "an earlier file");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);

    ASSERT_TRUE(sample().saveToFile(path).isSuccess());
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    AzureTableTaskDescriptor loaded;
    ASSERT_TRUE(loaded.loadFromFile(path).isSuccess());
    EXPECT_TRUE(sameFields(loaded, sample()));

    // A write that fails half way leaves the saved file as it was.
    const std::string saved = folder.read("task.json");
    testing_support::FaultyFileSystem faulty;
    faulty.failWriteNumber(1, true);
    AzureTableTaskDescriptor changed = sample();
    changed.tableName = "t2";
    EXPECT_TRUE(changed.saveToFile(path, faulty).isError());
    EXPECT_EQ(folder.read("task.json"), saved);

    struct Bad { std::string text, cause; };
    const Bad bad[] = {
        {std::string(saved, 0, saved.size() / 2), "not one JSON object"},
        {"{\"storageAccount\":1}", "[storageAccount] is not text"},
        {"{\"storageAccount\":\"a\",\"accessKey\":\"" + std::string(kKey) + "\"}", "[tableName]"},
    };
    for (const auto& b : bad) {
        folder.write("bad.json", b.text);
        AzureTableTaskDescriptor kept = sample();
        CTnError error = kept.loadFromFile(folder.file("bad.json"));
        EXPECT_TRUE(error.isError()) << b.text;
        EXPECT_NE(error.getMessage().find(folder.file("bad.json")), std::string::npos) << error.getMessage();
        EXPECT_NE(error.getMessage().find(b.cause), std::string::npos) << error.getMessage();
        EXPECT_EQ(error.getMessage().find(kKey), std::string::npos);
        EXPECT_TRUE(sameFields(kept, sample()));
    }

    sample().Log();
    const std::string text = log.text();
    EXPECT_NE(text.find("table[t1] "), std::string::npos) << text;
    EXPECT_NE(text.find("Saving storageAccount and others into options"), std::string::npos) << text;
    EXPECT_EQ(text.find(kKey), std::string::npos) << text;
}

TEST(BackupRestartInfo, ParsesTheJobManagersItems) {
    struct Case { std::string text; std::map<int, long long> offsets; };
    const Case cases[] = {
        {"-o 3|10", {{3, 9}}},
        {"-o 3|0", {{3, 0}}},
        {"-o 3|-5", {{3, -5}}},
        {"-o 3|10 -o 3|20", {{3, 19}}},
        {"-o 3|10|5", {}},
        {"-o 3", {}},
        {"-o 3 | 10", {{3, 9}}},
        {"-o3|10", {{0, 9}}},
        {"-o 1|4096 -o 2|0", {{1, 4095}, {2, 0}}},
        {"-o x|y", {{0, 0}}},
        {"", {}},
    };
    for (const auto& c : cases) {
        BackupRestartInfo info;
        info.initialize(c.text);
        EXPECT_EQ(info.offsets, c.offsets) << c.text;
    }
}

TEST(BackupRestartInfo, MergesCallsLooksUpAndLogsReplacements) {
    DefaultLogCapture log;
    BackupRestartInfo info;
    info.initialize("-o 3|10");
    info.initialize("-o 4|7 -o 3|20");
    info.initialize("");
    EXPECT_EQ(info.lookupCollectOffset(3), 19);
    EXPECT_EQ(info.lookupCollectOffset(4), 6);
    EXPECT_FALSE(info.isCollectInMap(5));
    EXPECT_EQ(info.lookupCollectOffset(5), 0);
    info.clearMap();
    EXPECT_FALSE(info.isCollectInMap(3));
    EXPECT_NE(log.text().find("initialize: Replacing offset 9 for collect 3 with offset 20"), std::string::npos)
        << log.text();
}
