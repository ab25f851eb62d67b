#include "platform/messages/Messages.h"

namespace {

// Takes `message` whole when it is of `self`'s pair; otherwise `self` stays empty.
void adopt(CNMessageBase& self, const CNMessageBase& message) {
    if (message.group() == self.group() && message.type() == self.type()) self = message;
}

// The child in `field` when it is of the given pair, else null.
const CNMessageBase* typedChild(const CNMessageBase* parent, int field, int group, int type) {
    const CNMessageBase* child = parent ? parent->getchild(field) : nullptr;
    return child && child->group() == group && child->type() == type ? child : nullptr;
}

// The child in `field`, replaced by an empty one of the pair when absent or of another pair.
CNMessageBase& typedChild(CNMessageBase& parent, int field, int group, int type) {
    if (!typedChild(&parent, field, group, type)) parent.setchild(field, CNMessageBase(group, type));
    return parent.child(field, group, type);
}

}  // namespace

namespace App {

AzureDBTable::AzureDBTable() : CNMessageBase(Group, Type) {}

AzureDBTable::AzureDBTable(const std::string& account, const std::string& table) : CNMessageBase(Group, Type) {
    setStorageAccount(account);
    setTableName(table);
}

AzureDBTable::AzureDBTable(const CNMessageBase& message) : CNMessageBase(Group, Type) { adopt(*this, message); }

CloudDBEntity::CloudDBEntity() : CNMessageBase(Group, Type) {}

CloudDBEntity::CloudDBEntity(const CNMessageBase& message) : CNMessageBase(Group, Type) { adopt(*this, message); }

CloudDBEntity CloudDBEntity::root() {
    CloudDBEntity entity;
    entity.setEntityType(RootEntity);
    return entity;
}

CloudDBEntity CloudDBEntity::storageAccount(const std::string& account) {
    CloudDBEntity entity;
    entity.setEntityType(StorageAccountEntity);
    entity.setEntityName(account);
    return entity;
}

CloudDBEntity CloudDBEntity::table(const std::string& account, const std::string& table) {
    CloudDBEntity entity;
    entity.setEntityType(TableEntity);
    entity.setEntityName(table);
    entity.setAccountName(account);
    return entity;
}

AzureTableAgentConfig::AzureTableAgentConfig() : CNMessageBase(Group, Type) {}

AzureTableAgentConfig::AzureTableAgentConfig(const CNMessageBase& message) : CNMessageBase(Group, Type) {
    adopt(*this, message);
}

AzureDbDestinationTable::AzureDbDestinationTable() : CNMessageBase(Group, Type) {}

AzureDbDestinationTable::AzureDbDestinationTable(const AzureDBTable& source, const AzureDBTable& destination)
    : CNMessageBase(Group, Type) {
    setchild(SourceField, source);
    setchild(DestinationField, destination);
}

AzureDbDestinationTable::AzureDbDestinationTable(const CNMessageBase& message) : CNMessageBase(Group, Type) {
    adopt(*this, message);
}

AzureDBTable AzureDbDestinationTable::source() const {
    const CNMessageBase* table = getchild(SourceField);
    return table ? AzureDBTable(*table) : AzureDBTable();
}

AzureDBTable AzureDbDestinationTable::destination() const {
    const CNMessageBase* table = getchild(DestinationField);
    return table ? AzureDBTable(*table) : AzureDBTable();
}

AzureDbRestoreOptions::AzureDbRestoreOptions() : CNMessageBase(Group, Type) {}

AzureDbRestoreOptions::AzureDbRestoreOptions(const CNMessageBase& message) : CNMessageBase(Group, Type) {
    adopt(*this, message);
}

std::vector<AzureDbDestinationTable> AzureDbRestoreOptions::destinationTables() const {
    std::vector<AzureDbDestinationTable> tables;
    if (const std::vector<CNMessageBase>* elements = getlist(DestinationTablesField))
        for (const CNMessageBase& element : *elements) tables.emplace_back(element);
    return tables;
}

void AzureDbRestoreOptions::addDestinationTable(const AzureDBTable& source, const AzureDBTable& destination) {
    list(DestinationTablesField).push_back(AzureDbDestinationTable(source, destination));
}

bool AzureDbRestoreOptions::findDestination(const std::string& sourceAccount, const std::string& sourceTable,
                                            AzureDBTable& destination) const {
    for (const AzureDbDestinationTable& element : destinationTables()) {
        AzureDBTable source = element.source();
        if (source.storageAccount() == sourceAccount && source.tableName() == sourceTable) {
            destination = element.destination();
            return true;
        }
    }
    return false;
}

CloudAppsRestoreOptions::CloudAppsRestoreOptions() : CNMessageBase(Group, Type) {}

CloudAppsRestoreOptions::CloudAppsRestoreOptions(const CNMessageBase& message) : CNMessageBase(Group, Type) {
    adopt(*this, message);
}

const CNMessageBase* CloudAppsRestoreOptions::getAzureDbRestoreOptions() const {
    return typedChild(this, AzureDbField, AzureDbRestoreOptions::Group, AzureDbRestoreOptions::Type);
}

RestoreAppOptions::RestoreAppOptions() : CNMessageBase(Group, Type) {}

RestoreAppOptions::RestoreAppOptions(const CNMessageBase& message) : CNMessageBase(Group, Type) {
    adopt(*this, message);
}

RestoreJobOptions::RestoreJobOptions() : CNMessageBase(Group, Type) {}

RestoreJobOptions::RestoreJobOptions(const CNMessageBase& message) : CNMessageBase(Group, Type) {
    adopt(*this, message);
}

const CNMessageBase* RestoreJobOptions::getCloudAppsRestoreOptions() const {
    const CNMessageBase* app = typedChild(this, AppOptionsField, RestoreAppOptions::Group, RestoreAppOptions::Type);
    return typedChild(app, RestoreAppOptions::CloudAppsField, CloudAppsRestoreOptions::Group,
                      CloudAppsRestoreOptions::Type);
}

const CNMessageBase* RestoreJobOptions::getAzureDbRestoreOptions() const {
    return typedChild(getCloudAppsRestoreOptions(), CloudAppsRestoreOptions::AzureDbField,
                      AzureDbRestoreOptions::Group, AzureDbRestoreOptions::Type);
}

void RestoreJobOptions::setAzureDbRestoreOptions(const AzureDbRestoreOptions& azure) {
    CNMessageBase& app = typedChild(*this, AppOptionsField, RestoreAppOptions::Group, RestoreAppOptions::Type);
    CNMessageBase& cloud = typedChild(app, RestoreAppOptions::CloudAppsField, CloudAppsRestoreOptions::Group,
                                      CloudAppsRestoreOptions::Type);
    cloud.setchild(CloudAppsRestoreOptions::AzureDbField, azure);
}

}  // namespace App

namespace IdxMetadata {

DynamoDBMetadata::DynamoDBMetadata() : CNMessageBase(Group, Type) {}

DynamoDBMetadata::DynamoDBMetadata(const std::string& description) : CNMessageBase(Group, Type) {
    setDescription(description);
}

DynamoDBMetadata::DynamoDBMetadata(const CNMessageBase& message) : CNMessageBase(Group, Type) {
    adopt(*this, message);
}

}  // namespace IdxMetadata

namespace DistributedIDA {

DINameValue::DINameValue() : CNMessageBase(Group, Type) {}

DINameValue::DINameValue(const std::string& name, const std::string& value) : CNMessageBase(Group, Type) {
    setName(name);
    setValue(value);
}

DINameValue::DINameValue(const CNMessageBase& message) : CNMessageBase(Group, Type) { adopt(*this, message); }

}  // namespace DistributedIDA
