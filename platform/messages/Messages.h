#pragma once
// The message types the library reads and writes: thin classes over CNMessageBase that name the
// type pair and give named accessors over the field numbers. They add no data of their own, so
// a typed message is a CNMessageBase (serialize, unserialize, and fields no accessor names pass
// through unchanged) and may be stored in a list of them.
//
// Constructing a typed message from a CNMessageBase takes that message's fields when its pair is
// the type's own; a message of another pair gives an empty message of the type (its fields mean
// something else). Accessors that reach a typed child likewise treat a child of another pair as
// absent. Ownership and threads: as CNMessageBase (plain values).
#include <string>
#include <vector>

#include "platform/messages/CNMessageBase.h"
#include "platform/util/Export.h"

namespace App {

// A table to back up or to restore into: storage account and table name.
class AZT_API AzureDBTable : public CNMessageBase {
public:
    static constexpr int Group = 30, Type = 2890;
    enum : int { AccountField = 1, TableField = 2 };

    AzureDBTable();
    AzureDBTable(const std::string& account, const std::string& table);
    explicit AzureDBTable(const CNMessageBase& message);

    std::string storageAccount() const { return getstring(AccountField); }
    void setStorageAccount(const std::string& account) { setstring(AccountField, account); }
    std::string tableName() const { return getstring(TableField); }
    void setTableName(const std::string& table) { setstring(TableField, table); }
};

// A node of a subclient's content tree, and of an instance's storage-account listing: the root
// (the whole instance), a storage account or a table. The content names its entities in the
// list of top-level children.
class AZT_API CloudDBEntity : public CNMessageBase {
public:
    static constexpr int Group = 30, Type = 2718;
    enum : int { ChildrenField = 1, EntityNameField = 3, AccountNameField = 5, EntityTypeField = 7 };
    // Entity types; any other value is invalid content.
    static constexpr long long RootEntity = 17;
    static constexpr long long StorageAccountEntity = 52;
    static constexpr long long TableEntity = 45;

    CloudDBEntity();
    explicit CloudDBEntity(const CNMessageBase& message);
    static CloudDBEntity root();
    static CloudDBEntity storageAccount(const std::string& account);
    static CloudDBEntity table(const std::string& account, const std::string& table);

    // 0 when absent (not a valid type).
    long long entityType() const { return getint64(EntityTypeField); }
    void setEntityType(long long type) { setint64(EntityTypeField, type); }
    // The account name of an account entity, the table name of a table entity.
    std::string entityName() const { return getstring(EntityNameField); }
    void setEntityName(const std::string& name) { setstring(EntityNameField, name); }
    // The holding account of a table entity.
    std::string accountName() const { return getstring(AccountNameField); }
    void setAccountName(const std::string& account) { setstring(AccountNameField, account); }

    // The top-level children; null when the message has no child list.
    const std::vector<CNMessageBase>* getChildren() const { return getlist(ChildrenField); }
    // Appends to the child list, creating it when absent.
    void addChild(const CloudDBEntity& child) { list(ChildrenField).push_back(child); }
};

// The agent's configuration of one subclient. Fields this library does not name (the product
// may keep more here) pass through a read-modify-write unchanged.
class AZT_API AzureTableAgentConfig : public CNMessageBase {
public:
    static constexpr int Group = 30, Type = 2863;
    enum : int { ChunkSizeField = 3, LastBackupRefTimeField = 4, TrackDeletionsField = 5 };

    AzureTableAgentConfig();
    explicit AzureTableAgentConfig(const CNMessageBase& message);

    long long chunkSizeMB(long long fallback = 0) const { return getint64(ChunkSizeField, fallback); }
    void setChunkSizeMB(long long megabytes) { setint64(ChunkSizeField, megabytes); }
    long long lastBackupRefTime(long long fallback = 0) const { return getint64(LastBackupRefTimeField, fallback); }
    void setLastBackupRefTime(long long refTime) { setint64(LastBackupRefTimeField, refTime); }
    // Whether the subclient's jobs store every table's key set, so restores leave out deletions.
    bool trackDeletions() const { return getint64(TrackDeletionsField, 0) != 0; }
    void setTrackDeletions(bool track) { setint64(TrackDeletionsField, track ? 1 : 0); }
};

// Restore options. A restore job's options (RestoreJobOptions) reach the Azure table part
// (AzureDbRestoreOptions) through two levels: RestoreJobOptions field 2 (RestoreAppOptions),
// its field 51 (CloudAppsRestoreOptions), its field 10. Writing a job's options:
//
//   App::AzureDbRestoreOptions azure;
//   azure.setOverwrite(true);
//   azure.addDestinationTable(App::AzureDBTable("src", "t1"), App::AzureDBTable("dst", "t2"));
//   App::RestoreJobOptions options;
//   options.setAzureDbRestoreOptions(azure);
//   options.serialize(xml);
//
// Reading them back: unserialize into a RestoreJobOptions, then
// App::AzureDbRestoreOptions(*options.getAzureDbRestoreOptions()) when that is not null.

// One element of the destination-table list: where a backed-up table goes.
class AZT_API AzureDbDestinationTable : public CNMessageBase {
public:
    static constexpr int Group = 12, Type = 618;
    enum : int { SourceField = 1, DestinationField = 2 };

    AzureDbDestinationTable();
    AzureDbDestinationTable(const AzureDBTable& source, const AzureDBTable& destination);
    explicit AzureDbDestinationTable(const CNMessageBase& message);

    // Empty tables (no account, no name) when absent.
    AzureDBTable source() const;
    AzureDBTable destination() const;
};

// The Azure table part of the restore options.
class AZT_API AzureDbRestoreOptions : public CNMessageBase {
public:
    static constexpr int Group = 12, Type = 617;
    enum : int { OverwriteField = 1, DestinationTablesField = 2 };

    AzureDbRestoreOptions();
    explicit AzureDbRestoreOptions(const CNMessageBase& message);

    // Drop and re-create a destination table that exists (non-zero) or keep it.
    bool overwrite() const { return getint64(OverwriteField) != 0; }
    void setOverwrite(bool overwrite) { setint64(OverwriteField, overwrite ? 1 : 0); }

    // True when the options carry a destination-table list (it may be empty).
    bool hasDestinationTables() const { return getlist(DestinationTablesField) != nullptr; }
    // The list's elements in order; empty when absent.
    std::vector<AzureDbDestinationTable> destinationTables() const;
    // Appends to the list, creating it when absent.
    void addDestinationTable(const AzureDBTable& source, const AzureDBTable& destination);
    // The destination of the first element whose source account and table both equal these
    // (compared exactly). False, `destination` unchanged, when no element names that source.
    bool findDestination(const std::string& sourceAccount, const std::string& sourceTable,
                         AzureDBTable& destination) const;
};

// The cloud-applications part of the restore options.
class AZT_API CloudAppsRestoreOptions : public CNMessageBase {
public:
    static constexpr int Group = 12, Type = 616;
    enum : int { AzureDbField = 10 };

    CloudAppsRestoreOptions();
    explicit CloudAppsRestoreOptions(const CNMessageBase& message);

    // Null when absent.
    const CNMessageBase* getAzureDbRestoreOptions() const;
    void setAzureDbRestoreOptions(const AzureDbRestoreOptions& azure) { setchild(AzureDbField, azure); }
};

// The application part of a restore job's options, which holds the cloud-applications part.
class AZT_API RestoreAppOptions : public CNMessageBase {
public:
    static constexpr int Group = 12, Type = 263;
    enum : int { CloudAppsField = 51 };

    RestoreAppOptions();
    explicit RestoreAppOptions(const CNMessageBase& message);
};

// A restore job's options (the restore task's XML options).
class AZT_API RestoreJobOptions : public CNMessageBase {
public:
    static constexpr int Group = 12, Type = 262;
    enum : int { AppOptionsField = 2 };

    RestoreJobOptions();
    explicit RestoreJobOptions(const CNMessageBase& message);

    // Null when any level on the way is absent.
    const CNMessageBase* getCloudAppsRestoreOptions() const;
    const CNMessageBase* getAzureDbRestoreOptions() const;
    // Sets the Azure table part, creating the levels above it where absent and keeping their
    // other fields where present.
    void setAzureDbRestoreOptions(const AzureDbRestoreOptions& azure);
};

}  // namespace App

namespace IdxMetadata {

// A table's metadata kept in the index for each backup: its description.json text.
class AZT_API DynamoDBMetadata : public CNMessageBase {
public:
    static constexpr int Group = 101, Type = 156;
    enum : int { DescriptionField = 1 };

    DynamoDBMetadata();
    explicit DynamoDBMetadata(const std::string& description);
    explicit DynamoDBMetadata(const CNMessageBase& message);

    std::string description() const { return getstring(DescriptionField); }
    void setDescription(const std::string& description) { setstring(DescriptionField, description); }
};

}  // namespace IdxMetadata

namespace DistributedIDA {

// One name/value pair of a task's parameters.
class AZT_API DINameValue : public CNMessageBase {
public:
    static constexpr int Group = 40, Type = 11;
    enum : int { NameField = 1, ValueField = 2 };

    DINameValue();
    DINameValue(const std::string& name, const std::string& value);
    explicit DINameValue(const CNMessageBase& message);

    std::string name() const { return getstring(NameField); }
    void setName(const std::string& name) { setstring(NameField, name); }
    std::string value() const { return getstring(ValueField); }
    void setValue(const std::string& value) { setstring(ValueField, value); }
};

}  // namespace DistributedIDA
