#include "agent/Subclients.h"

#include <map>
#include <set>

#include "agent/AgentSetup.h"
#include "agent/AzureTableUtil.h"
#include "platform/catalog/ClientRecords.h"
#include "platform/messages/Messages.h"
#include "platform/runtime/Runtime.h"

namespace AzureTableIDA {

using platform::Status;
using Code = platform::Status::Code;
namespace catalog = platform::catalog;

namespace {

Status instanceOf(platform::Runtime& runtime, catalog::Catalog& c, const std::string& name,
                  catalog::InstanceRecord& instance) {
    const std::string clientName = KXPI_Focus::getFocusClientName(true, runtime);
    catalog::ClientRecord client;
    if (clientName.empty() || !c.findClient(clientName, client).ok())
        return Status(Code::NotFound, "the configuration names no client of the catalog: run `aztable init`");
    Status found = c.findInstance(client.id, name, instance);
    if (found.code == Code::NotFound)
        return Status(Code::NotFound, "there is no instance '" + name + "' (the one `aztable init` made is 'default')");
    return found;
}

// The named set, or the instance's default set when `name` is empty.
Status backupSetOf(catalog::Catalog& c, const catalog::InstanceRecord& instance, const std::string& name,
                   catalog::BackupSetRecord& out) {
    if (!name.empty()) {
        Status found = c.findBackupSet(instance.id, name, out);
        if (found.code == Code::NotFound)
            return Status(Code::NotFound, "instance '" + instance.name + "' has no backup set '" + name + "'");
        return found;
    }
    std::vector<catalog::BackupSetRecord> sets;
    Status listed = c.listBackupSets(instance.id, sets);
    if (!listed.ok()) return listed;
    for (const auto& set : sets)
        if (set.isDefault) {
            out = set;
            return Status::success();
        }
    return Status(Code::NotFound, "instance '" + instance.name + "' has no default backup set: name one");
}

std::vector<std::string> describeContent(const std::string& xml) {
    std::vector<std::string> content;
    App::CloudDBEntity entity;
    if (xml.empty() || entity.unserialize(xml) != 0) return {"(unreadable content)"};
    if (const std::vector<CNMessageBase>* children = entity.getChildren())
        for (const CNMessageBase& message : *children) {
            App::CloudDBEntity child(message);
            switch (child.entityType()) {
            case App::CloudDBEntity::RootEntity: content.push_back("all"); break;
            case App::CloudDBEntity::StorageAccountEntity: content.push_back("account " + child.entityName()); break;
            case App::CloudDBEntity::TableEntity:
                content.push_back("table " + child.accountName() + "/" + child.entityName());
                break;
            default: content.push_back("(entity of type " + std::to_string(child.entityType()) + ")");
            }
        }
    return content;
}

Status summarise(catalog::Catalog& c, const catalog::InstanceRecord& instance, const catalog::BackupSetRecord& set,
                 const catalog::SubclientRecord& record, SubclientSummary& out) {
    out = SubclientSummary{};
    out.id = record.id;
    out.instance = instance.name;
    out.backupSet = set.name;
    out.name = record.name;
    out.isDefault = record.isDefault;
    out.content = describeContent(record.contentXml);
    App::AzureTableAgentConfig config;
    if (!record.configXml.empty() && config.unserialize(record.configXml) == 0) {
        out.lastBackupRefTime = config.lastBackupRefTime();
        out.trackDeletions = config.trackDeletions();
    }
    std::vector<catalog::JobRecord> jobs;
    Status listed = c.listJobs(record.id, jobs);
    out.jobs = jobs.size();
    return listed;
}

}  // namespace

Status findSubclientRecord(platform::Runtime& runtime, const std::string& instanceName, const std::string& setName,
                           const std::string& name, catalog::SubclientRecord& out) {
    catalog::Catalog* c = nullptr;
    Status status = openCatalog(runtime, c);
    catalog::InstanceRecord instance;
    catalog::BackupSetRecord set;
    if (!status.ok() || !(status = instanceOf(runtime, *c, instanceName, instance)).ok() ||
        !(status = backupSetOf(*c, instance, setName, set)).ok())
        return status;
    status = c->findSubclient(set.id, name, out);
    if (status.code == Code::NotFound)
        return Status(Code::NotFound, "backup set '" + set.name + "' has no subclient '" + name +
                                          "' (see `aztable subclient list`)");
    return status;
}

Status createSubclient(platform::Runtime& runtime, const SubclientDefinition& d, SubclientSummary& made) {
    const int kinds = (d.all ? 1 : 0) + (d.accounts.empty() ? 0 : 1) + (d.tables.empty() ? 0 : 1);
    if (d.name.empty()) return Status(Code::BadUsage, "a subclient needs a name");
    if (kinds == 0) return Status(Code::BadUsage, "say what subclient '" + d.name + "' backs up: --all, --account or --table");
    if (d.all && kinds > 1)
        return Status(Code::BadUsage, "--all already covers every account and table: give it alone");
    catalog::Catalog* c = nullptr;
    Status status = openCatalog(runtime, c);
    catalog::InstanceRecord instance;
    if (!status.ok() || !(status = instanceOf(runtime, *c, d.instance, instance)).ok()) return status;

    // Every name must be one the instance knows; each account named by a table is asked once.
    std::vector<catalog::AccountRecord> accounts;
    if (!(status = c->listAccounts(instance.id, accounts)).ok()) return status;
    std::map<std::string, AzureTableCredentials> known;
    for (const auto& account : accounts) {
        AzureTableCredentials& credentials = known[account.name];
        credentials.accountName = account.name;
        credentials.accountUrl = account.endpoint;
        credentials.accessKey = account.accessKey;
        runtime.log().registerSecret(account.accessKey);
    }
    auto unknownAccount = [&](const std::string& account) {
        return Status(Code::NotFound, "instance '" + d.instance + "' has no account '" + account +
                                          "' (add it with `aztable account add`)");
    };
    App::CloudDBEntity content;
    std::set<std::string> seenAccounts;
    std::set<std::pair<std::string, std::string>> seenTables;
    if (d.all) content.addChild(App::CloudDBEntity::root());
    for (const auto& account : d.accounts) {
        if (!known.count(account)) return unknownAccount(account);
        if (seenAccounts.insert(account).second) content.addChild(App::CloudDBEntity::storageAccount(account));
    }
    std::map<std::string, std::set<std::string>> listed;
    AzureTableUtil util(runtime);
    for (const auto& table : d.tables) {
        if (!known.count(table.first)) return unknownAccount(table.first);
        // A table of an account the content names whole is already covered: one writer per table.
        if (seenAccounts.count(table.first) || !seenTables.insert(table).second) continue;
        auto found = listed.find(table.first);
        if (found == listed.end()) {
            std::vector<App::AzureDBTable> tables;
            std::string why;
            if (util.listTables(known[table.first], tables, &why) != 0)
                return Status(Code::Failed, "the tables of account '" + table.first +
                                                "' could not be listed to check '" + table.second + "': " + why);
            found = listed.emplace(table.first, std::set<std::string>()).first;
            for (const auto& t : tables) found->second.insert(t.tableName());
        }
        if (!found->second.count(table.second))
            return Status(Code::NotFound, "account '" + table.first + "' has no table '" + table.second + "'");
        content.addChild(App::CloudDBEntity::table(table.first, table.second));
    }
    std::string xml;
    if (content.serialize(xml) != 0) return Status(Code::Failed, "the content of '" + d.name + "' cannot be written");
    std::string configXml;
    if (d.trackDeletions) {
        App::AzureTableAgentConfig config;
        config.setTrackDeletions(true);
        if (config.serialize(configXml) != 0)
            return Status(Code::Failed, "the configuration of '" + d.name + "' cannot be written");
    }

    catalog::BackupSetRecord set;
    catalog::SubclientRecord record;
    status = c->inTransaction([&]() -> Status {
        Status inner = backupSetOf(*c, instance, d.backupSet, set);
        if (inner.code == Code::NotFound && !d.backupSet.empty()) {
            long long id = 0;
            if (!(inner = c->addBackupSet(instance.id, d.backupSet, false, id)).ok()) return inner;
            inner = c->findBackupSet(id, set);
        }
        if (!inner.ok()) return inner;
        if (c->findSubclient(set.id, d.name, record).ok())
            return Status(Code::Refused, "backup set '" + set.name + "' already has a subclient '" + d.name + "'");
        if (d.makeDefault) {
            std::vector<catalog::SubclientRecord> others;
            if (!(inner = c->listSubclients(set.id, others)).ok()) return inner;
            for (const auto& other : others)
                if (other.isDefault)
                    return Status(Code::Refused, "backup set '" + set.name + "' already has its default subclient '" +
                                                     other.name + "'; a set has one default subclient");
        }
        long long id = 0;
        if (!(inner = c->addSubclient(set.id, d.name, xml, configXml, d.makeDefault, id)).ok()) return inner;
        return c->findSubclient(id, record);
    });
    if (!status.ok()) return status;
    return summarise(*c, instance, set, record, made);
}

Status listSubclients(platform::Runtime& runtime, const std::string& instanceName,
                      std::vector<SubclientSummary>& subclients) {
    subclients.clear();
    catalog::Catalog* c = nullptr;
    Status status = openCatalog(runtime, c);
    catalog::InstanceRecord instance;
    std::vector<catalog::BackupSetRecord> sets;
    if (!status.ok() || !(status = instanceOf(runtime, *c, instanceName, instance)).ok() ||
        !(status = c->listBackupSets(instance.id, sets)).ok())
        return status;
    for (const auto& set : sets) {
        std::vector<catalog::SubclientRecord> records;
        if (!(status = c->listSubclients(set.id, records)).ok()) return status;
        for (const auto& record : records) {
            SubclientSummary summary;
            if (!(status = summarise(*c, instance, set, record, summary)).ok()) return status;
            subclients.push_back(std::move(summary));
        }
    }
    return Status::success();
}

Status showSubclient(platform::Runtime& runtime, const std::string& instanceName, const std::string& setName,
                     const std::string& name, SubclientSummary& out) {
    catalog::SubclientRecord record;
    Status status = findSubclientRecord(runtime, instanceName, setName, name, record);
    if (!status.ok()) return status;
    catalog::Catalog* c = nullptr;
    catalog::InstanceRecord instance;
    catalog::BackupSetRecord set;
    if (!(status = openCatalog(runtime, c)).ok() || !(status = instanceOf(runtime, *c, instanceName, instance)).ok() ||
        !(status = c->findBackupSet(record.backupSetId, set)).ok())
        return status;
    return summarise(*c, instance, set, record, out);
}

Status deleteSubclient(platform::Runtime& runtime, const std::string& instanceName, const std::string& setName,
                       const std::string& name) {
    catalog::SubclientRecord record;
    Status status = findSubclientRecord(runtime, instanceName, setName, name, record);
    if (!status.ok()) return status;
    if (record.isDefault)
        return Status(Code::Refused, "'" + name + "' is its backup set's default subclient and cannot be deleted");
    catalog::Catalog* c = nullptr;
    if (!(status = openCatalog(runtime, c)).ok()) return status;
    std::vector<catalog::JobRecord> jobs;
    if (!(status = c->listJobs(record.id, jobs)).ok()) return status;
    if (!jobs.empty())
        return Status(Code::Refused, "subclient '" + name + "' has " + std::to_string(jobs.size()) +
                                         " job(s) whose backups name it; it is kept");
    return c->removeSubclient(record.id);
}

}  // namespace AzureTableIDA
