#include "platform/catalog/ApplicationRecords.h"

#include "platform/catalog/RecordSupport.h"

namespace platform {
namespace catalog {

int recordFailure(Runtime& runtime, const char* functionName, const Status& status) {
    runtime.log().writeLine("catalog", functionName, status.message);
    return status.code == Status::Code::NotFound ? kRecordNotFound : kRecordFailed;
}

bool configurationValue(Runtime& runtime, const char* functionName, const std::string& section,
                        const std::string& name, std::string& value) {
    config::InstallConfig* configuration = nullptr;
    Status status = runtime.configuration(configuration);
    if (!status.ok()) {
        recordFailure(runtime, functionName, status);
        return false;
    }
    return configuration->get(section, name, value);
}

}  // namespace catalog
}  // namespace platform

using platform::Status;
using platform::catalog::Catalog;
using platform::catalog::recordFailure;

Subclient::Subclient(unsigned long subclientId, platform::Runtime& runtime) : m_runtime(runtime), m_id(subclientId) {
    Catalog* catalog = nullptr;
    platform::catalog::SubclientRecord record;
    Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->findSubclient(static_cast<long long>(subclientId), record);
    if (!status.ok()) {
        recordFailure(m_runtime, "Subclient", status);
        return;
    }
    m_exists = true;
    m_name = record.name;
    m_backupSetId = static_cast<unsigned long>(record.backupSetId);
    m_default = record.isDefault;
}

int Subclient::getConfigXML(std::string& xml) {
    Catalog* catalog = nullptr;
    platform::catalog::SubclientRecord record;
    Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->findSubclient(static_cast<long long>(m_id), record);
    if (!status.ok()) return recordFailure(m_runtime, "Subclient::getConfigXML", status);
    xml = record.configXml;
    return 0;
}

int Subclient::setConfigXML(const std::string& xml) {
    Catalog* catalog = nullptr;
    Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->setSubclientConfigXml(static_cast<long long>(m_id), xml);
    return status.ok() ? 0 : recordFailure(m_runtime, "Subclient::setConfigXML", status);
}

int Subclient::isDefaultSubclient(bool& isDefault) {
    if (!m_exists)
        return recordFailure(m_runtime, "Subclient::isDefaultSubclient",
                             Status(Status::Code::NotFound, "subclient " + std::to_string(m_id) + " is not in the catalog"));
    isDefault = m_default;
    return 0;
}

TableStorageSubclient::TableStorageSubclient(unsigned long subclientId, platform::Runtime& runtime)
    : m_runtime(runtime), m_id(subclientId) {}

int TableStorageSubclient::getDynamicContent(std::string& xml) {
    Catalog* catalog = nullptr;
    platform::catalog::SubclientRecord record;
    Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->findSubclient(static_cast<long long>(m_id), record);
    if (!status.ok()) return recordFailure(m_runtime, "TableStorageSubclient::getDynamicContent", status);
    xml = record.contentXml;
    return 0;
}

ApplicationId::ApplicationId(unsigned long cellId, unsigned long appId, platform::Runtime& runtime)
    : m_runtime(runtime), m_cellId(cellId), m_appId(appId) {
    Catalog* catalog = nullptr;
    Status status = m_runtime.catalog(catalog);
    if (!status.ok()) {
        recordFailure(m_runtime, "ApplicationId", status);
        return;
    }
    if (catalog->cellId() != cellId) {
        recordFailure(m_runtime, "ApplicationId",
                      Status(Status::Code::NotFound, "cell " + std::to_string(cellId) + " is not this catalog's (" +
                                                         std::to_string(catalog->cellId()) + ")"));
        return;
    }
    auto subclient = std::make_unique<Subclient>(appId, m_runtime);
    if (!subclient->exists()) return;

    platform::catalog::BackupSetRecord set;
    platform::catalog::InstanceRecord instance;
    status = catalog->findBackupSet(static_cast<long long>(subclient->getBackupSetId()), set);
    if (status.ok()) status = catalog->findInstance(set.instanceId, instance);
    if (!status.ok()) recordFailure(m_runtime, "ApplicationId", status);
    if (status.ok()) {
        m_backupSetId = static_cast<unsigned long>(set.id);
        m_instanceId = static_cast<unsigned long>(instance.id);
        m_clientId = instance.clientId;
    }
    m_subclient = std::move(subclient);
}

ApplicationId::~ApplicationId() = default;

Subclient* ApplicationId::getSubclient() { return m_subclient.get(); }

int ApplicationId::getClientName(std::string& clientName) {
    if (m_clientId == 0)
        return recordFailure(m_runtime, "ApplicationId::getClientName",
                             Status(Status::Code::NotFound, "application " + std::to_string(m_cellId) + ":" +
                                                                std::to_string(m_appId) + " has no client in the catalog"));
    Catalog* catalog = nullptr;
    platform::catalog::ClientRecord client;
    Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->findClient(m_clientId, client);
    if (!status.ok()) return recordFailure(m_runtime, "ApplicationId::getClientName", status);
    clientName = client.name;
    return 0;
}

ClientApplicationList::ClientApplicationList(platform::Runtime& runtime) : m_runtime(runtime) {}

int ClientApplicationList::getSubclientList(int appType, unsigned long backupSetId, int flags,
                                            std::vector<std::pair<unsigned long, std::string>>& idsAndNames) {
    Catalog* catalog = nullptr;
    platform::catalog::BackupSetRecord set;
    std::vector<platform::catalog::SubclientRecord> subclients;
    Status status = m_runtime.catalog(catalog);
    // Looked up first: a set id of 0 would otherwise list every set's subclients.
    if (status.ok()) status = catalog->findBackupSet(static_cast<long long>(backupSetId), set);
    if (status.ok() && appType == platform::catalog::kAzureTableAppType)
        status = catalog->listSubclients(set.id, subclients);
    if (!status.ok()) return recordFailure(m_runtime, "ClientApplicationList::getSubclientList", status);
    idsAndNames.clear();
    for (const auto& subclient : subclients)
        idsAndNames.emplace_back(static_cast<unsigned long>(subclient.id), subclient.name);
    return 0;
}
