#include "agent/AzureTableUtil.h"

#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/http/CAzureTableStorageInfo.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/FXString.h"
#include "table_service/AzureTableStorage.h"

namespace AzureTableIDA {

const char* const c_dynamoSubKey = "AzureTableStorage";
const char* const c_quorvServ = "QuorvServe";

#define UTIL_LOG(level, ...) AZT_LOG_LINE(m_log, platform::log::LogWriter::level, __VA_ARGS__)

AzureTableUtil::AzureTableUtil() : AzureTableUtil(0, 2, platform::defaultRuntime()) {}

AzureTableUtil::AzureTableUtil(unsigned int appIdValue, unsigned int cellId)
    : AzureTableUtil(appIdValue, cellId, platform::defaultRuntime()) {}

AzureTableUtil::AzureTableUtil(platform::Runtime& runtime) : AzureTableUtil(0, 2, runtime) {}

AzureTableUtil::AzureTableUtil(unsigned int appIdValue, unsigned int cellId, platform::Runtime& runtime)
    : appId(appIdValue),
      quorvCellId(cellId),
      debugLog(runtime),
      loggingEnvironment("", runtime),
      m_runtime(&runtime),
      m_log(runtime) {}

AzureTableUtil::~AzureTableUtil() = default;

int AzureTableUtil::CreateJobResultsDirectory() {
    const std::string focusClient = KXPI_Focus::getFocusClientName(true, *m_runtime);
    const std::string resultsDir = KXPI_QuorvClient::getJobResultsDirectory(focusClient, *m_runtime);
    if (resultsDir.empty()) {
        UTIL_LOG(Error, "Failed to fetch job results directory for clientname [%s]", focusClient.c_str());
        return 1;
    }
    const std::string jobPath = FXPath::Append(
        FXPath::Append(FXPath::Append(FXPath::Append(resultsDir, "KX_JobResults"), "2"), "0"), std::to_string(jobId));
    const std::string subclientPath =
        FXPath::Append(FXPath::Append(resultsDir, std::to_string(quorvCellId)), std::to_string(appId));
    if (appId == 0 || quorvCellId == 0 || jobId < 1) {
        UTIL_LOG(Error, "Failed to fetch job results. Invalid subclientid:quorvcellid inputs for clientname [%s]",
                 focusClient.c_str());
        return 1;
    }
    jobResultsDir = jobPath;
    subclientDir = subclientPath;
    const std::string oscPath = FXPath::Append(subclientPath, "osc");
    if (CTnDirectory::Create(oscPath, true) < 0) {
        UTIL_LOG(Error, "Failed to create subclient directory for osc metadata [%s]", oscPath.c_str());
        return 1;
    }
    if (CTnDirectory::Create(jobPath, true) < 0) {
        UTIL_LOG(Error, "Failed to create job results directory [%s]", jobPath.c_str());
        return 1;
    }
    return 0;
}

std::string AzureTableUtil::getLocalHostName() {
    KXPlatformInfo info(*m_runtime);
    info.setFocus(KXPI_Focus::getFocus(*m_runtime));
    return info.getPhysicalMachine();
}

void AzureTableUtil::raiseEvent(Severity severity, const std::string& message) {
    EvEvent event(*m_runtime);
    event.addArgument(11, message);
    switch (severity) {
    case Severity::Minor: event.MinorEvent(kJobEventId, 0, 0); break;
    case Severity::Major: event.MajorEvent(kJobEventId, 0, 0); break;
    case Severity::Critical: event.CriticalEvent(kJobEventId, 0, 0); break;
    }
}

void AzureTableUtil::minorEvent(const std::string& message) { raiseEvent(Severity::Minor, message); }
void AzureTableUtil::majorEvent(const std::string& message) { raiseEvent(Severity::Major, message); }
void AzureTableUtil::criticalEvent(const std::string& message) { raiseEvent(Severity::Critical, message); }

bool AzureTableUtil::GetKxClientEntityForHost(const std::string& hostName, KxEntities::ClientEntity& entity) {
    KXClient client(hostName, 0, *m_runtime);
    int id = 0;
    if (client.getClientId(id) != 0) return false;
    entity.clientId = id;
    entity.clientName = client.getShortName();
    return true;
}

// --- Binding to an application and a job

namespace {

// strtoul in base 0 ("0x11", "021", "17"), refusing a sign: strtoul reads "-1" as a huge id
// that would pass every later check.
bool readId(const std::string& text, unsigned long& value) {
    size_t first = text.find_first_not_of(" \t");
    if (first != std::string::npos && (text[first] == '-' || text[first] == '+')) return false;
    value = std::strtoul(text.c_str(), nullptr, 0);
    return true;
}

}  // namespace

int AzureTableUtil::Initialize(boost::shared_ptr<CProgramArguments>& arguments) {
    std::string value;
    if (!arguments || arguments->getValue("a", value) != 0) value.clear();
    UTIL_LOG(Info, "ApplicationID input [%s]", value.c_str());
    std::vector<std::string> parts;
    unsigned long cell = 0, app = 0;
    if (FXString::Split(value, ":", parts, 0) != 2 || !readId(parts[0], cell) || !readId(parts[1], app)) {
        UTIL_LOG(Error, "Invalid application id, expected <quorvcell-id>:<application-number> [%s]", value.c_str());
        return 1;
    }
    appId = app;
    quorvCellId = cell;
    return Initialize(static_cast<unsigned long>(quorvCellId), static_cast<unsigned long>(appId), jobId);
}

int AzureTableUtil::Initialize(unsigned long cellArgument, unsigned long appArgument, KXJobID jobArgument) {
    if (cellArgument != 0 || appArgument != 0 || jobArgument != 0) {
        quorvCellId = cellArgument;
        appId = appArgument;
        jobId = jobArgument;
    }
    if (quorvCellId == 0 || appId == 0 || jobId < 1) {
        UTIL_LOG(Error, "Invalid parameters [appid:ccid] [%llu:%llu] [jid:%lld]", appId, quorvCellId, jobId);
        return 1;
    }
    ApplicationId application(quorvCellId, appId, *m_runtime);
    int result = application.getClientName(clientName);
    if (result != 0) debugLog.Error("Initialize", "Failed to obtain client name from appId %llu", appId);

    Subclient* subclient = application.getSubclient();
    bool allAccounts = false;
    if (InitFromSubclientProp(subclient, allAccounts) != 0) return 1;
    bool isDefault = false;
    int code = subclient->isDefaultSubclient(isDefault);
    if (code != 0) {
        UTIL_LOG(Error, "Default subclient check failed for appId %lu with code %d", subclient->getSubclientId(), code);
        return 1;
    }
    const unsigned long subclientId = subclient->getSubclientId();
    if (FetchTables(application, subclientId, isDefault, allAccounts) != 0) return 1;

    const std::string focus = KXPI_Focus::getFocusClientName(true, *m_runtime);
    if (focus.empty()) {
        UTIL_LOG(Error, "Invalid focus client name");
        return 1;
    }
    KXClient client(focus, 0, *m_runtime);
    if (!client.lookup()) {
        UTIL_LOG(Error, "Failed to lookup for client info for client name [%s]", focus.c_str());
        return 1;
    }
    std::string host;
    if (client.getNetworkHostName(host) != 0 || host.empty()) {
        UTIL_LOG(Error, "Failed to get network hostname for client name [%s]", focus.c_str());
        return 1;
    }
    localHostName = host;
    UTIL_LOG(Info, "Found local client host name [%s] for client name [%s]", host.c_str(), focus.c_str());
    if (CreateJobResultsDirectory() != 0) {
        UTIL_LOG(Error, "Failed to  create job results dir");
        return 1;
    }
    return result;
}

// --- Subclient content and table discovery

int AzureTableUtil::readContent(unsigned long subclientId, App::CloudDBEntity& content, std::string& text) {
    TableStorageSubclient storage(subclientId, *m_runtime);
    int code = storage.getDynamicContent(text);
    UTIL_LOG(Detail, "Subclient content: %s", text.c_str());
    if (code != 0 || text.empty()) {
        UTIL_LOG(Error, "AzureTable subclient content is missing (retCode=%d, xml='%s')", code, text.c_str());
        return -1;
    }
    if ((code = content.unserialize(text)) != 0) {
        UTIL_LOG(Error, "AzureTable subclient content unserialize failed (retCode=%d, xml='%s')", code, text.c_str());
        return -1;
    }
    return 0;
}

int AzureTableUtil::InitFromSubclientProp(Subclient* subclient, bool& allAccounts) {
    if (!subclient) {
        UTIL_LOG(Error, "No subclient");
        return -1;
    }
    if (!skipContentInit) {
        std::string content;
        if (readContent(subclient->getSubclientId(), subclientContent, content) != 0) return -1;
        const std::vector<CNMessageBase>* children = subclientContent.getChildren();
        if (!children || children->empty()) {
            UTIL_LOG(Error, "Child list is missing for AzureTable subclient content '%s'", content.c_str());
            return 0;
        }
        for (const CNMessageBase& message : *children) {
            App::CloudDBEntity child(message);
            switch (child.entityType()) {
            case App::CloudDBEntity::TableEntity:
                UTIL_LOG(Info, "Subclient content type table: %s", child.accountName().c_str());
                credentialMap.emplace(child.accountName(), AzureTableCredentials{});
                break;
            case App::CloudDBEntity::StorageAccountEntity:
                UTIL_LOG(Info, "Subclient content type storage account : %s", child.entityName().c_str());
                credentialMap.emplace(child.entityName(), AzureTableCredentials{});
                break;
            case App::CloudDBEntity::RootEntity:
                UTIL_LOG(Info, "Subclient content type Root");
                break;
            default:
                UTIL_LOG(Error, "Unexpected first level type %d for Azure Table subclient content. '%s'",
                         static_cast<int>(child.entityType()), content.c_str());
                return -1;
            }
        }
        if (credentialMap.empty()) allAccounts = true;
        ApplicationId application(quorvCellId, appId, *m_runtime);
        int result = initializeCredentialMap(application.getInstanceId());
        if (result != 0) return result;
    }
    std::string xml;
    int code = subclient->getConfigXML(xml);
    if (code != 0) {
        UTIL_LOG(Error, "Error obtaining AzureTable config XML (retCode=%d, xml='%s')", code, xml.c_str());
        return -1;
    }
    if (xml.empty()) {
        UTIL_LOG(Error, "AzureTable config XML is empty, using default values");
        return 0;
    }
    App::AzureTableAgentConfig message;
    if ((code = message.unserialize(xml)) != 0) {
        UTIL_LOG(Error, "Azure Table config XML unserialize failed (retCode=%d, xml='%s')", code, xml.c_str());
        return -1;
    }
    config.setChunkSizeMB(static_cast<int>(message.chunkSizeMB()));
    return 0;
}

int AzureTableUtil::expandContent(const std::vector<CNMessageBase>& children, std::vector<App::AzureDBTable>& tables) {
    for (const CNMessageBase& message : children) {
        App::CloudDBEntity child(message);
        switch (child.entityType()) {
        case App::CloudDBEntity::TableEntity:
            tables.emplace_back(child.accountName(), child.entityName());
            break;
        case App::CloudDBEntity::StorageAccountEntity:
            listTables(child.entityName(), tables);  // a failure is logged; the expansion goes on
            break;
        case App::CloudDBEntity::RootEntity:
            listTables(std::string(), tables);
            break;
        default:
            UTIL_LOG(Error, "Unexpected first level type %d for Azure Table subclient content.",
                     static_cast<int>(child.entityType()));
            return -1;
        }
    }
    return 0;
}

int AzureTableUtil::FetchTables(ApplicationId& application, const unsigned long& subclientId, bool isDefault,
                                bool allAccounts) {
    if (skipContentInit) return 0;
    listingFailures.clear();
    const std::vector<CNMessageBase>* children = subclientContent.getChildren();
    if (!children || children->empty()) {
        UTIL_LOG(Error, "Child list is missing for AzureTable subclient content");
        return -1;
    }
    std::vector<App::AzureDBTable> tables;
    if (expandContent(*children, tables) != 0) return -1;
    if (!isDefault || !allAccounts) {
        config.setTables(&tables);
        return 0;
    }
    if (!application.hasBackupSet()) {
        UTIL_LOG(Error, "No backup set for appId %lu", subclientId);
        return 1;
    }
    const unsigned long backupSetId = application.getBackupSetId();
    std::vector<std::pair<unsigned long, std::string>> subclients;
    int code = ClientApplicationList(*m_runtime).getSubclientList(application.getAppType(), backupSetId, 15, subclients);
    if (code != 0) {
        UTIL_LOG(Error, "getSubclientList failed for appId %lu bkpSetId %lu with code %d", subclientId, backupSetId,
                 code);
        return 1;
    }
    std::set<std::string> excluded;
    for (const auto& other : subclients) {
        if (other.first == subclientId) continue;
        std::vector<App::AzureDBTable> covered;
        int result = FetchTablesForSubclient(other.first, covered);
        if (result != 0) {
            UTIL_LOG(Error, "Azure table content expansion for appId %lu failed", other.first);
            return result;
        }
        UTIL_LOG(Info, "Azure table content for appId %lu expanded to %d tables", other.first,
                 static_cast<int>(covered.size()));
        for (const auto& table : covered) {
            UTIL_LOG(Info, "Azure table appId %lu storage account '%s' table '%s'", other.first,
                     table.storageAccount().c_str(), table.tableName().c_str());
            std::string pair;
            toAccountTablePair(table.storageAccount(), table.tableName(), pair);
            excluded.insert(pair);
        }
    }
    std::vector<App::AzureDBTable> remaining;
    for (const auto& table : tables) {
        std::string pair;
        toAccountTablePair(table.storageAccount(), table.tableName(), pair);
        if (excluded.count(pair)) {
            UTIL_LOG(Info, "Azure Table non-default content account '%s' table '%s' is filtered out",
                     table.storageAccount().c_str(), table.tableName().c_str());
            continue;
        }
        remaining.push_back(table);
    }
    UTIL_LOG(Info, "%d content tables are filtered out from the original set of %d tables, leaving %d",
             static_cast<int>(tables.size() - remaining.size()), static_cast<int>(tables.size()),
             static_cast<int>(remaining.size()));
    config.setTables(&remaining);
    return 0;
}

int AzureTableUtil::FetchTablesForSubclient(unsigned long subclientId, std::vector<App::AzureDBTable>& tables) {
    std::string content;
    App::CloudDBEntity other;
    if (readContent(subclientId, other, content) != 0) return -1;
    const std::vector<CNMessageBase>* children = other.getChildren();
    if (!children || children->empty()) {
        UTIL_LOG(Error, "Something is not right. Child list is missing in AzureTable subclient content '%s'",
                 content.c_str());
        return -1;
    }
    return expandContent(*children, tables);
}

CTnError AzureTableUtil::getTables(std::vector<App::AzureDBTable>*& tables) {
    tables = config.getTables();
    if (!tables->empty()) return CTnError();
    return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kPreparationFailed, "There are no tables in the config");
}

void AzureTableUtil::toAccountTablePair(const std::string& account, const std::string& table, std::string& pair) {
    pair = account + "\t" + table;
}

void AzureTableUtil::fromAccountTablePair(const std::string& pair, std::string& account, std::string& table) {
    std::vector<std::string> parts;
    FXString::Split(pair, "\t", parts, 0);
    account = parts[0];
    table = parts.size() > 1 ? parts[1] : std::string();
}

// --- Credentials and table listing

namespace {

// One account's credentials from the service object into the map; false after logging.
bool fetchAccount(CAzureTableStorageInfo& service, const std::string& account,
                  std::map<std::string, AzureTableCredentials>& map, platform::log::LogWriter& m_log) {
    UTIL_LOG(Info, "Fetching storage account %s", account.c_str());
    std::string key, url;
    if (!service.GetStorageAccountAuthenticationInfo(account, key, url)) {
        UTIL_LOG(Error, "Failed to fetch access key for account %s", account.c_str());
        return false;
    }
    UTIL_LOG(Detail, "Found account %s, URL %s", account.c_str(), url.c_str());
    AzureTableCredentials& credentials = map[account];
    credentials.accountName = account;
    credentials.accountUrl = url;
    credentials.accessKey = key;
    credentials.spareText.clear();
    credentials.spareNumber = -1;
    return true;
}

}  // namespace

int AzureTableUtil::initializeCredentialMap(unsigned long instanceId) {
    UTIL_LOG(Info, "Appid: %llu, quorvcellid: %llu, instanceid: %lu", appId, quorvCellId, instanceId);
    CAzureTableStorageInfo service(loggingEnvironment, kCloudAppsInstanceType);
    if (!service.FetchCredentials(instanceId)) {
        UTIL_LOG(Error, "Failed to fetch credentials[%lu]", instanceId);
        return -1;
    }
    if (!service.Connect()) {
        UTIL_LOG(Error, "Failed to connect to Azure for instanceId [%lu]", instanceId);
        return -1;
    }
    if (!credentialMap.empty()) {
        for (auto& entry : credentialMap)
            if (!fetchAccount(service, entry.first, credentialMap, m_log)) return -1;
        return 0;
    }
    UTIL_LOG(Info, "Fetching all storage accounts");
    App::CloudDBEntity accounts;
    if (!service.BrowseStorageAccounts(accounts)) {
        UTIL_LOG(Error, "Failed to browse for storage accounts");
        return -1;
    }
    if (const std::vector<CNMessageBase>* children = accounts.getChildren())
        for (const CNMessageBase& child : *children)
            if (!fetchAccount(service, App::CloudDBEntity(child).entityName(), credentialMap, m_log)) return -1;
    return 0;
}

int AzureTableUtil::listTables(std::string accountName, std::vector<App::AzureDBTable>& tables) {
    if (accountName.empty()) {
        for (auto& entry : credentialMap) {
            UTIL_LOG(Info, "Storage Account: %s URL: %s", entry.first.c_str(), entry.second.accountUrl.c_str());
            AzureTableCredentials credentials = entry.second;
            int result = listTables(credentials, tables);
            if (result != 0) {
                UTIL_LOG(Error, "Failed to query Azure Table Storage Service for tables in account %s",
                         entry.first.c_str());
                return result;
            }
        }
        return 0;
    }
    AzureTableCredentials credentials = credentialMap[accountName];
    UTIL_LOG(Info, "Storage Account: %s URL: %s", accountName.c_str(), credentials.accountUrl.c_str());
    int result = listTables(credentials, tables);
    if (result != 0)
        UTIL_LOG(Error, "Failed to query Azure Table Storage Service for tables in account %s", accountName.c_str());
    return result;
}

int AzureTableUtil::listTables(AzureTableCredentials& credentials, std::vector<App::AzureDBTable>& tables,
                               std::string* why) {
    IdaLoggingEnvironment environment("", *m_runtime);
    std::vector<std::string> names;
    std::string error;
    if (credentials.accountUrl.empty() || credentials.accessKey.empty())
        error = "no endpoint or access key is known for account '" + credentials.accountName + "'";
    else if (AzureTableStorage(credentials, environment).queryTables(names, &error))
        error.clear();
    else if (error.empty())
        error = "listing the tables of account '" + credentials.accountName + "' failed";
    if (!error.empty()) {
        error = m_runtime->log().redact(error);
        listingFailures[credentials.accountName] = error;
        if (why) *why = error;
        return -1;
    }
    for (const std::string& name : names) {
        UTIL_LOG(Detail, "Pushing table %s:%s", credentials.accountName.c_str(), name.c_str());
        tables.emplace_back(credentials.accountName, name);
    }
    return 0;
}

// --- Configuration

int AzureTableUtil::fetchConfigXml(ApplicationId& application, std::string& xml) {
    Subclient* subclient = application.getSubclient();
    if (!subclient) {
        UTIL_LOG(Error, "No subclient");
        return -1;
    }
    int code = subclient->getConfigXML(xml);
    if (code != 0) UTIL_LOG(Error, "Failed to fetch AzureTable config XML (retCode=%d)", code);
    return code;
}

int AzureTableUtil::setBackupRefTime(long long refTime) {
    ApplicationId application(quorvCellId, appId, *m_runtime);
    std::string xml;
    int code = fetchConfigXml(application, xml);
    if (code != 0) return code;
    Subclient* subclient = application.getSubclient();
    App::AzureTableAgentConfig message;
    if (!xml.empty() && (code = message.unserialize(xml)) != 0) {
        UTIL_LOG(Error, "AzureTable config XML unserialize failed (retCode=%d, xml='%s')", code, xml.c_str());
        return code;
    }
    message.setLastBackupRefTime(refTime);
    xml.clear();
    if ((code = message.serialize(xml)) != 0) {
        UTIL_LOG(Error, "AzureTable config XML serialize failed (retCode=%d)", code);
        return code;
    }
    if ((code = subclient->setConfigXML(xml)) != 0) {
        UTIL_LOG(Error, "Failed to set AzureTable config XML %s (retCode=%d)", xml.c_str(), code);
        return code;
    }
    return 0;
}

int AzureTableUtil::getLastBackupRefTime(long long& refTime) {
    ApplicationId application(quorvCellId, appId, *m_runtime);
    std::string xml;
    int code = fetchConfigXml(application, xml);
    if (code != 0) return code;
    App::AzureTableAgentConfig message;
    if ((code = message.unserialize(xml)) != 0) {
        UTIL_LOG(Error, "AzureTable config XML unserialize failed (retCode=%d, xml='%s')", code, xml.c_str());
        return code;
    }
    refTime = message.lastBackupRefTime();
    return 0;
}

// --- Installation configuration

int GetRegistryItemValue(const char* name, char* buffer, unsigned int bufferSize, const char* unused,
                         bool managementServer, const char* section) {
    return GetRegistryItemValue(name, buffer, bufferSize, unused, managementServer, section,
                                platform::defaultRuntime());
}

int GetRegistryItemValue(const char* name, char* buffer, unsigned int bufferSize, const char* /*unused*/,
                         bool managementServer, const char* section, platform::Runtime& runtime) {
    // A buffer of no bytes has no room even for the terminating NUL: nothing is written to it.
    if (!buffer || bufferSize == 0 || !name) return -1;
    const char* chosen = managementServer ? c_quorvServ : (section ? section : c_dynamoSubKey);
    buffer[0] = '\0';
    KXPlatformInfo info(runtime);
    int size = static_cast<int>(bufferSize);
    return info.getString(chosen, name, buffer, &size) ? 0 : -1;
}

}  // namespace AzureTableIDA
