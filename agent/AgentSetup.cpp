#include "agent/AgentSetup.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "agent/AzureTableUtil.h"
#include "platform/catalog/ClientRecords.h"
#include "platform/catalog/InstallConfig.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/messages/Messages.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/FXString.h"
#include "table_service/AzureTableStorage.h"

namespace AzureTableIDA {

using platform::Status;
using Code = platform::Status::Code;

HomeLayout HomeLayout::of(const std::string& home) {
    HomeLayout layout;
    layout.home = home;
    layout.catalog = FXPath::Append(home, "catalog.db");
    layout.store = FXPath::Append(home, "store");
    layout.jobResults = FXPath::Append(home, "jobresults");
    layout.logs = FXPath::Append(home, "log");
    layout.configuration = FXPath::Append(home, "aztable.conf");
    return layout;
}

namespace {

std::string systemError(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

bool fileExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

bool isEmptyFolder(const std::string& path) {
    DIR* folder = ::opendir(path.c_str());
    if (!folder) return false;
    bool empty = true;
    while (dirent* entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(folder);
    return empty;
}

// The home folder exists afterwards, is ours alone and writable; nothing else is created.
Status prepareHomeFolder(const std::string& home, bool& created) {
    struct stat info;
    if (::stat(home.c_str(), &info) != 0) {
        if (errno != ENOENT) return Status(Code::Failed, systemError("cannot reach the home folder", home, errno));
        int code = CTnDirectory::Create(home, true);
        if (code != 0) return Status(Code::Failed, systemError("cannot create the home folder", home, -code));
        created = true;
        return Status::success();
    }
    if (!S_ISDIR(info.st_mode)) return Status(Code::Refused, "the home folder " + home + " is a file, not a folder");
    if (::access(home.c_str(), W_OK | X_OK) != 0)
        return Status(Code::Refused, "the home folder " + home + " is not writable: " + std::strerror(errno));
    if ((info.st_mode & 077) != 0) {
        // It will hold access keys: only a folder that holds nothing yet is taken over.
        if (!isEmptyFolder(home) && !fileExists(HomeLayout::of(home).catalog))
            return Status(Code::Refused, "the home folder " + home +
                                             " can be reached by other users and holds other files; choose an "
                                             "empty or new folder");
        if (::chmod(home.c_str(), 0700) != 0)
            return Status(Code::Failed, systemError("cannot make the home folder private", home, errno));
    }
    return Status::success();
}

std::string hostName() {
    char name[256] = {0};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

std::string defaultContentXml() {
    App::CloudDBEntity content;
    content.addChild(App::CloudDBEntity::root());
    std::string xml;
    content.serialize(xml);
    return xml;
}

Status writeConfigurationIfMissing(const HomeLayout& layout, const std::string& clientName, bool& created) {
    if (::access(layout.configuration.c_str(), F_OK) == 0) return Status::success();
    platform::config::InstallConfig configuration;
    configuration.set(c_quorvServ, "ClientName", clientName);
    configuration.set(c_quorvServ, "JobResultsDirectory", layout.jobResults);
    configuration.set(c_dynamoSubKey, "StoreDirectory", layout.store);
    configuration.set(c_dynamoSubKey, "LogDirectory", layout.logs);
    Status saved = configuration.save(layout.configuration);
    if (saved.ok()) created = true;
    return saved;
}

bool defaultsExist(platform::catalog::Catalog& catalog, const std::string& clientName) {
    platform::catalog::ClientRecord client;
    platform::catalog::InstanceRecord instance;
    platform::catalog::BackupSetRecord backupSet;
    platform::catalog::SubclientRecord subclient;
    return catalog.findClient(clientName, client).ok() &&
           catalog.findInstance(client.id, platform::catalog::kDefaultInstanceName, instance).ok() &&
           catalog.findBackupSet(instance.id, platform::catalog::kDefaultBackupSetName, backupSet).ok() &&
           catalog.findSubclient(backupSet.id, platform::catalog::kDefaultSubclientName, subclient).ok();
}


// The client this machine is (the configuration names it).
Status focusClient(platform::Runtime& runtime, platform::catalog::Catalog& catalog,
                   platform::catalog::ClientRecord& client) {
    const std::string name = KXPI_Focus::getFocusClientName(true, runtime);
    if (name.empty())
        return Status(Code::NotFound, "the configuration names no client for this machine: run `aztable init`");
    return catalog.findClient(name, client);
}

Status findInstance(platform::Runtime& runtime, platform::catalog::Catalog& catalog, const std::string& name,
                    platform::catalog::InstanceRecord& instance) {
    platform::catalog::ClientRecord client;
    Status found = focusClient(runtime, catalog, client);
    if (!found.ok()) return found;
    found = catalog.findInstance(client.id, name, instance);
    if (found.code == Code::NotFound)
        return Status(Code::NotFound, "there is no instance '" + name + "' (the one `aztable init` made is 'default')");
    return found;
}

}  // namespace

Status openCatalog(platform::Runtime& runtime, platform::catalog::Catalog*& catalog) {
    Status status = runtime.catalog(catalog);
    if (!status.ok() && runtime.home().empty())
        return Status(Code::NotFound, "no home folder is set: run `aztable init` first");
    return status;
}

Status storeDirectory(platform::Runtime& runtime, std::string& store) {
    char buffer[4096];
    if (GetRegistryItemValue("StoreDirectory", buffer, sizeof buffer, nullptr, false, c_dynamoSubKey, runtime) != 0 ||
        !buffer[0])
        return Status(Code::Failed, "the configuration names no [AzureTableStorage] StoreDirectory");
    store = buffer;
    return Status::success();
}

std::string jobFolder(const std::string& store, unsigned long cell, long long subclient, long long job) {
    return store + "/" + std::to_string(cell) + "/" + std::to_string(subclient) + "/" + std::to_string(job);
}

Status initHome(const std::string& home, InitResult& result) {
    result = InitResult{};
    if (home.empty()) return Status(Code::BadUsage, "no home folder given");
    result.layout = HomeLayout::of(home);
    const HomeLayout& layout = result.layout;
    Status status = prepareHomeFolder(home, result.created);
    if (!status.ok()) return status;
    for (const std::string* folder : {&layout.store, &layout.jobResults, &layout.logs}) {
        if (::access(folder->c_str(), F_OK) == 0) continue;
        int code = CTnDirectory::Create(*folder, false);
        if (code != 0) return Status(Code::Failed, systemError("cannot create", *folder, -code));
        result.created = true;
    }
    const bool catalogExisted = fileExists(layout.catalog);
    std::unique_ptr<platform::catalog::Catalog> catalog;
    status = platform::catalog::Catalog::open(layout.catalog, true, catalog);
    if (!status.ok()) return status;
    if (!catalogExisted) result.created = true;

    std::string host = hostName();
    std::string clientName = host.substr(0, host.find('.'));
    platform::config::InstallConfig existing;
    std::string configured;
    if (existing.load(layout.configuration).ok() && existing.get(c_quorvServ, "ClientName", configured) &&
        !configured.empty())
        clientName = configured;
    status = writeConfigurationIfMissing(layout, clientName, result.created);
    if (!status.ok()) return status;

    if (!defaultsExist(*catalog, clientName)) result.created = true;
    platform::catalog::DefaultRecords defaults;
    status = catalog->ensureDefaults(clientName, host, defaultContentXml(), defaults);
    if (!status.ok()) return status;
    result.clientName = clientName;
    result.cellId = catalog->cellId();
    result.clientId = defaults.clientId;
    result.instanceId = defaults.instanceId;
    result.backupSetId = defaults.backupSetId;
    result.subclientId = defaults.subclientId;
    return Status::success();
}

Status openHome(platform::Runtime& runtime, const std::string& home) {
    const HomeLayout layout = HomeLayout::of(home);
    if (!fileExists(layout.catalog))
        return Status(Code::NotFound, "no agent home at " + home + ": run `aztable init` first");
    runtime.setHome(home);
    platform::catalog::Catalog* catalog = nullptr;
    return runtime.catalog(catalog);
}

Status addAccount(platform::Runtime& runtime, const std::string& instanceName, const std::string& name,
                  const AzureTableCredentials& credentials, size_t& tablesSeen) {
    tablesSeen = 0;
    if (name != credentials.accountName)
        return Status(Code::BadUsage, "the connection string is for account '" + credentials.accountName +
                                          "', not '" + name + "'");
    platform::catalog::Catalog* catalog = nullptr;
    Status status = openCatalog(runtime, catalog);
    if (!status.ok()) return status;
    platform::catalog::InstanceRecord instance;
    if (!(status = findInstance(runtime, *catalog, instanceName, instance)).ok()) return status;

    runtime.log().registerSecret(credentials.accessKey);
    AzureTableUtil util(runtime);
    AzureTableCredentials copy = credentials;
    std::vector<App::AzureDBTable> tables;
    std::string why;
    if (util.listTables(copy, tables, &why) != 0)
        return Status(Code::Refused, "account '" + name + "' at " + credentials.accountUrl +
                                         " did not answer a table listing, so it was not stored: " + why);
    tablesSeen = tables.size();
    return catalog->putAccount(instance.id, name, credentials.accountUrl, credentials.accessKey);
}

Status removeAccount(platform::Runtime& runtime, const std::string& instanceName, const std::string& name) {
    platform::catalog::Catalog* catalog = nullptr;
    Status status = openCatalog(runtime, catalog);
    if (!status.ok()) return status;
    platform::catalog::InstanceRecord instance;
    if (!(status = findInstance(runtime, *catalog, instanceName, instance)).ok()) return status;
    status = catalog->removeAccount(instance.id, name);
    if (status.code == Code::NotFound)
        return Status(Code::NotFound, "instance '" + instanceName + "' has no account '" + name + "'");
    return status;
}

Status listAccounts(platform::Runtime& runtime, const std::string& instanceName, std::vector<AccountSummary>& accounts) {
    accounts.clear();
    platform::catalog::Catalog* catalog = nullptr;
    Status status = openCatalog(runtime, catalog);
    if (!status.ok()) return status;
    std::vector<platform::catalog::InstanceRecord> instances;
    if (instanceName.empty()) {
        platform::catalog::ClientRecord client;
        if (!(status = focusClient(runtime, *catalog, client)).ok()) return status;
        if (!(status = catalog->listInstances(client.id, instances)).ok()) return status;
    } else {
        platform::catalog::InstanceRecord instance;
        if (!(status = findInstance(runtime, *catalog, instanceName, instance)).ok()) return status;
        instances.push_back(instance);
    }
    for (const auto& instance : instances) {
        std::vector<platform::catalog::AccountRecord> records;
        if (!(status = catalog->listAccounts(instance.id, records)).ok()) return status;
        for (const auto& record : records) accounts.push_back(AccountSummary{instance.name, record.name, record.endpoint});
    }
    return Status::success();
}

Status listTables(platform::Runtime& runtime, const std::string& instanceName, const std::string& account,
                  std::vector<AccountTables>& accounts) {
    accounts.clear();
    platform::catalog::Catalog* catalog = nullptr;
    Status status = openCatalog(runtime, catalog);
    if (!status.ok()) return status;
    platform::catalog::InstanceRecord instance;
    if (!(status = findInstance(runtime, *catalog, instanceName, instance)).ok()) return status;

    AzureTableUtil util(runtime);
    if (!account.empty()) util.credentialMap[account].spareNumber = -1;
    if (util.InitFromInstanceProp(instance.id) != 0) {
        if (!account.empty())
            return Status(Code::NotFound, "instance '" + instanceName + "' has no account '" + account +
                                              "' (add it with `aztable account add`)");
        return Status(Code::Failed, "the accounts of instance '" + instanceName + "' could not be read");
    }
    std::string failed;
    for (auto& entry : util.credentialMap) {
        AccountTables listing;
        listing.account = entry.first;
        std::vector<App::AzureDBTable> tables;
        if (util.listTables(entry.second, tables, &listing.failure) != 0) {
            listing.failed = true;
            failed += (failed.empty() ? "" : "; ") + entry.first + ": " + listing.failure;
        }
        for (const auto& table : tables) listing.tables.push_back(table.tableName());
        accounts.push_back(std::move(listing));
    }
    if (!failed.empty()) return Status(Code::Failed, "listing failed for " + failed);
    return Status::success();
}

Status listEvents(platform::Runtime& runtime, long long jobId, std::vector<platform::catalog::EventRecord>& events) {
    events.clear();
    platform::catalog::Catalog* catalog = nullptr;
    Status status = openCatalog(runtime, catalog);
    if (!status.ok()) return status;
    return catalog->listEvents(jobId, events);
}

}  // namespace AzureTableIDA
