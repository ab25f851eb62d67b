#include "agent/AzureTableUtil.h"

#include <cstring>

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
    if (credentials.accountUrl.empty() || credentials.accessKey.empty()) {
        if (why) *why = "no endpoint or access key is known for account '" + credentials.accountName + "'";
        return -1;
    }
    AzureTableStorage client(credentials, environment);
    if (!client.queryTables(names, &error)) {
        if (why) *why = m_runtime->log().redact(error);
        return -1;
    }
    for (const std::string& name : names) {
        UTIL_LOG(Detail, "Pushing table %s:%s", credentials.accountName.c_str(), name.c_str());
        tables.emplace_back(credentials.accountName, name);
    }
    return 0;
}

// --- Configuration

int AzureTableUtil::setBackupRefTime(long long refTime) {
    ApplicationId application(quorvCellId, appId, *m_runtime);
    Subclient* subclient = application.getSubclient();
    if (!subclient) {
        UTIL_LOG(Error, "No subclient");
        return -1;
    }
    std::string xml;
    int code = subclient->getConfigXML(xml);
    if (code != 0) {
        UTIL_LOG(Error, "Failed to fetch AzureTable config XML (retCode=%d)", code);
        return code;
    }
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
    Subclient* subclient = application.getSubclient();
    if (!subclient) {
        UTIL_LOG(Error, "No subclient");
        return -1;
    }
    std::string xml;
    int code = subclient->getConfigXML(xml);
    if (code != 0) {
        UTIL_LOG(Error, "Failed to fetch AzureTable config XML (retCode=%d)", code);
        return code;
    }
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
