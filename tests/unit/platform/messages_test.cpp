#include <gtest/gtest.h>

#include <climits>

#include "platform/messages/Messages.h"

namespace {

const char* const kTexts[] = {"", "plain", "tab\there", "line\nfeed\r\nand\rcarriage", "<a b=\"c\">&amp;</a>",
                              "'single' \"double\"", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x99\x82",
                              "  spaces around  ", "\x01\x1f control"};
const long long kNumbers[] = {0, 1, -1, LLONG_MIN, LLONG_MAX, -1234567890123};

// Reads `xml` back into a message of `like`'s pair and into one of pair 0/0; both must equal it.
void expectRoundTrip(const CNMessageBase& like) {
    std::string xml, again;
    ASSERT_EQ(like.serialize(xml), 0);
    CNMessageBase typed(like.group(), like.type()), any;
    std::string error;
    ASSERT_EQ(typed.unserialize(xml, error), 0) << error << "\n" << xml;
    ASSERT_EQ(any.unserialize(xml), 0);
    EXPECT_TRUE(typed == like) << xml;
    EXPECT_TRUE(any == like) << xml;
    ASSERT_EQ(typed.serialize(again), 0);
    EXPECT_EQ(again, xml);
}

CNMessageBase nested(int depth) {
    CNMessageBase message(1, 1);
    for (int level = 1; level < depth; ++level) {
        CNMessageBase outer(1, 1);
        outer.setchild(1, message);
        message = outer;
    }
    return message;
}

}  // namespace

TEST(Messages, EveryKindOfValueRoundTrips) {
    CNMessageBase message(30, 2718);
    int field = -2;  // negative and zero field numbers are numbers like any other
    for (const char* text : kTexts) message.setstring(field++, text);
    for (long long number : kNumbers) message.setint64(field++, number);
    CNMessageBase& child = message.child(field++, 7, 8);
    child.setstring(1, kTexts[4]);
    child.list(2);  // an empty list stays a list
    child.list(3).push_back(CNMessageBase(9, 9));  // a one-element list is not a child
    message.list(field++) = {child, CNMessageBase(), App::AzureDBTable("a", "t")};
    expectRoundTrip(message);

    // A child set from the message's own child, and a list copied from its own list.
    CNMessageBase copy = message;
    copy.setchild(1000, *copy.getchild(field - 2));
    copy.list(1001) = *copy.getlist(field - 1);
    copy.setchild(field - 2, *copy.getchild(field - 2));
    EXPECT_TRUE(*copy.getchild(1000) == child);
    EXPECT_TRUE(*copy.getlist(1001) == *message.getlist(field - 1));
    expectRoundTrip(copy);
}

TEST(Messages, TypedMessagesRoundTripThroughTheirAccessors) {
    App::CloudDBEntity content;
    content.addChild(App::CloudDBEntity::root());
    content.addChild(App::CloudDBEntity::storageAccount("acct\t1"));
    content.addChild(App::CloudDBEntity::table("acct<2>", "Table&1"));
    App::AzureTableAgentConfig config;
    config.setChunkSizeMB(LLONG_MAX);
    config.setLastBackupRefTime(LLONG_MIN);
    App::AzureDbRestoreOptions azure;
    azure.setOverwrite(true);
    azure.addDestinationTable(App::AzureDBTable("src", "t1"), App::AzureDBTable("dst", "t2"));
    azure.addDestinationTable(App::AzureDBTable("src", "t3"), App::AzureDBTable("", "t\n4"));
    App::RestoreJobOptions options;
    options.setint64(7, 99);  // a field of the job's options that the Azure part leaves alone
    options.setAzureDbRestoreOptions(azure);
    IdxMetadata::DynamoDBMetadata metadata(std::string("{\"table\":{\"TableName\":\"t\\\"1\"}}\n"));
    DistributedIDA::DINameValue pair("RestartContext", "pk\t:rk\n");
    for (const CNMessageBase* message : std::initializer_list<const CNMessageBase*>{
             &content, &config, &options, &metadata, &pair, &azure})
        expectRoundTrip(*message);

    std::string xml;
    ASSERT_EQ(content.serialize(xml), 0);
    App::CloudDBEntity contentBack;
    ASSERT_EQ(contentBack.unserialize(xml), 0);
    ASSERT_EQ(contentBack.getChildren()->size(), 3u);
    App::CloudDBEntity root(contentBack.getChildren()->at(0)), account(contentBack.getChildren()->at(1)),
        table(contentBack.getChildren()->at(2));
    EXPECT_EQ(root.entityType(), App::CloudDBEntity::RootEntity);
    EXPECT_EQ(account.entityType(), App::CloudDBEntity::StorageAccountEntity);
    EXPECT_EQ(account.entityName(), "acct\t1");
    EXPECT_EQ(table.entityType(), App::CloudDBEntity::TableEntity);
    EXPECT_EQ(table.accountName() + "/" + table.entityName(), "acct<2>/Table&1");

    ASSERT_EQ(options.serialize(xml), 0);
    App::RestoreJobOptions optionsBack;
    ASSERT_EQ(optionsBack.unserialize(xml), 0);
    ASSERT_NE(optionsBack.getAzureDbRestoreOptions(), nullptr);
    App::AzureDbRestoreOptions azureBack(*optionsBack.getAzureDbRestoreOptions());
    EXPECT_TRUE(azureBack.overwrite());
    ASSERT_EQ(azureBack.destinationTables().size(), 2u);
    App::AzureDBTable destination;
    EXPECT_TRUE(azureBack.findDestination("src", "t3", destination));
    EXPECT_EQ(destination.storageAccount() + "/" + destination.tableName(), "/t\n4");
    EXPECT_FALSE(azureBack.findDestination("src", "t2", destination));
    // Setting the Azure part again replaces it and keeps the job's other fields.
    optionsBack.setAzureDbRestoreOptions(App::AzureDbRestoreOptions());
    EXPECT_EQ(optionsBack.getint64(7), 99);
    EXPECT_FALSE(App::AzureDbRestoreOptions(*optionsBack.getAzureDbRestoreOptions()).hasDestinationTables());

    // A typed message takes only a message of its own pair; a child of another pair is absent.
    EXPECT_FALSE(App::AzureDBTable(pair).has(1));
    App::RestoreJobOptions wrong;
    wrong.child(2, 12, 263).child(51, 12, 616).setchild(10, App::AzureDBTable("a", "t"));
    EXPECT_NE(wrong.getCloudAppsRestoreOptions(), nullptr);
    EXPECT_EQ(wrong.getAzureDbRestoreOptions(), nullptr);
}

// The agent sets one field of a stored configuration and writes the rest back: what it does not
// know, written by someone else, must come back unchanged.
TEST(Messages, UnknownFieldsPassThroughAReadModifyWrite) {
    const std::string stored =
        "<?xml version=\"1.0\"?>\n<!-- kept by the product -->\n"
        "<message type='2863' group='30'>\n\t<field n='3' i='64'/><field n='9' s='a&#9;b&lt;c'/>\n"
        "<field n='12' list='true'><message group='5' type='6'><field n='1' i='-3'/></message></field>"
        "<field n='13'><message group='0' type='0'/></field><field n='4' i='1'/></message>";
    App::AzureTableAgentConfig config;
    ASSERT_EQ(config.unserialize(stored), 0);
    CNMessageBase original = config;
    config.setLastBackupRefTime(1796000000);
    std::string xml;
    ASSERT_EQ(config.serialize(xml), 0);
    App::AzureTableAgentConfig back;
    ASSERT_EQ(back.unserialize(xml), 0);
    EXPECT_EQ(back.chunkSizeMB(), 64);
    EXPECT_EQ(back.lastBackupRefTime(), 1796000000);
    EXPECT_EQ(back.getstring(9), "a\tb<c");
    EXPECT_EQ(back.getlist(12)->at(0).getint64(1), -3);
    back.setLastBackupRefTime(1);
    EXPECT_TRUE(back == original);
}

TEST(Messages, RefusesWhatItCannotTakeWholeAndKeepsTheMessage) {
    std::string good;
    App::AzureTableAgentConfig config;
    config.setChunkSizeMB(32);
    config.setstring(9, "kept");
    ASSERT_EQ(config.serialize(good), 0);
    auto wrap = [](const std::string& fields) { return "<message group=\"30\" type=\"2863\">" + fields + "</message>"; };
    std::string deep, tooDeep, hostile;
    ASSERT_EQ(nested(CNMessageBase::MaxDepth).serialize(deep), 0);
    for (int level = 0; level < 100000; ++level) hostile += "<message group=\"1\" type=\"1\"><field n=\"1\">";
    struct Case {
        std::string xml;
        int result;
    } cases[] = {
        {"", CNMessageBase::NotXml},
        {"plain words", CNMessageBase::NotXml},
        {good.substr(0, good.size() / 2), CNMessageBase::NotXml},
        {wrap("") + " trailing", CNMessageBase::NotXml},
        {"<config group=\"30\" type=\"2863\"/>", CNMessageBase::NotAMessage},
        {"<message type=\"2863\"/>", CNMessageBase::NotAMessage},
        {"<message group=\"30\" type=\"2863x\"/>", CNMessageBase::NotAMessage},
        {wrap("") + wrap(""), CNMessageBase::NotAMessage},
        {"<message group=\"30\" type=\"2718\"/>", CNMessageBase::OtherType},
        {wrap("<field n=\"1\" i=\"12x\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\" i=\" 12\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\" i=\"\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\" i=\"9223372036854775808\"/>"), CNMessageBase::BadField},
        {wrap("<field s=\"x\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"one\" s=\"x\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\" s=\"x\"/><field n=\"1\" s=\"y\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\" s=\"x\" i=\"1\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\" s=\"x\" type=\"y\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\" list=\"yes\"/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\"><message group=\"1\"/></field>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\"><message group=\"1\" type=\"1\"/><message group=\"1\" type=\"1\"/></field>"),
         CNMessageBase::BadField},
        {wrap("<field n=\"1\">text</field>"), CNMessageBase::BadField},
        {wrap("stray text"), CNMessageBase::BadField},
        {wrap("<other/>"), CNMessageBase::BadField},
        {wrap("<field n=\"1\">" + deep + "</field>"), CNMessageBase::TooDeep},
        {hostile, CNMessageBase::NotXml},
        {hostile + "</field></message>", CNMessageBase::NotXml},
        {wrap(std::string(CNMessageBase::MaxTextBytes, ' ')), CNMessageBase::TooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml.substr(0, 120));
        App::AzureTableAgentConfig target = config;
        std::string error;
        EXPECT_EQ(target.unserialize(c.xml, error), c.result) << error;
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(target == config);
    }
    // The same deep text closed properly is too deep, not broken XML.
    std::string closed = hostile;
    for (int level = 0; level < 100000; ++level) closed += "</field></message>";
    CNMessageBase any;
    EXPECT_EQ(any.unserialize(closed), CNMessageBase::TooDeep);
    // Exactly the limit is fine; one more level cannot be written.
    EXPECT_EQ(any.unserialize(deep), 0);
    std::string xml = "unchanged";
    EXPECT_EQ(nested(CNMessageBase::MaxDepth + 1).serialize(xml), CNMessageBase::TooDeep);
    // A NUL byte cannot be carried by XML: refused, not cut short.
    any.setstring(1, std::string("before\0after", 12));
    EXPECT_EQ(any.serialize(xml), CNMessageBase::NotWritable);
    any.setstring(1, std::string(CNMessageBase::MaxTextBytes, 'x'));
    EXPECT_EQ(any.serialize(xml), CNMessageBase::TooLarge);
    EXPECT_EQ(xml, "unchanged");
}
