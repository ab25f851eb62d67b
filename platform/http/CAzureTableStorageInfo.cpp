#include "platform/http/CAzureTableStorageInfo.h"

#include "platform/catalog/Catalog.h"
#include "platform/ida/IdaEnvironment.h"
#include "platform/runtime/Runtime.h"

namespace {

const char* const kServiceVersion = "2019-02-02";

std::string withTrailingSlash(std::string url) {
    if (url.empty() || url.back() != '/') url += '/';
    return url;
}

}  // namespace

bool isPathStyleAccountUrl(const std::string& url, const std::string& accountName) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos || accountName.empty()) return false;
    size_t slash = url.find('/', scheme + 3);
    if (slash == std::string::npos) return false;
    std::string first = url.substr(slash + 1);
    size_t end = first.find('/');
    if (end != std::string::npos) first.resize(end);
    return first == accountName;
}

AzureServiceBase::AzureServiceBase(IdaEnvironment& environment, int instanceType)
    : m_environment(&environment), m_instanceType(instanceType) {}
AzureServiceBase::~AzureServiceBase() = default;
int AzureServiceBase::FetchCredentials(unsigned long) { return 0; }
int AzureServiceBase::FetchClientCredentials(unsigned long) { return 0; }
int AzureServiceBase::Init() { return 0; }
int AzureServiceBase::DeInit() { return 0; }
int AzureServiceBase::Connect() { return 0; }
int AzureServiceBase::Connect(const std::string& account, const std::string& url, const std::string& key) {
    m_accountName = account;
    m_accountUrl = url;
    m_accessKey = key;
    return 0;
}
int AzureServiceBase::Connect(const std::string& account, const std::string& url, const std::string& key,
                              const std::vector<SHostCredentials>&) {
    return Connect(account, url, key);
}

CAzureTableStorageInfo::CAzureTableStorageInfo(IdaEnvironment& environment, int instanceType)
    : AzureServiceBase(environment, instanceType), requestService(environment.runtime()) {}
CAzureTableStorageInfo::~CAzureTableStorageInfo() = default;

AzureTableRequest CAzureTableStorageInfo::baseRequest(const std::string& operation) const {
    AzureTableRequest request;
    request.baseUrl = withTrailingSlash(m_accountUrl);
    request.signing.accountName = m_accountName;
    request.signing.accessKey = m_accessKey;
    request.signing.pathStyle = isPathStyleAccountUrl(m_accountUrl, m_accountName);

    request.headers["x-ms-version"] = kServiceVersion;
    request.headers["Accept"] = "application/json;odata=minimalmetadata";
    request.headers["DataServiceVersion"] = "3.0;NetFx";
    request.headers["MaxDataServiceVersion"] = "3.0;NetFx";

    if (operation.empty()) {
        request.method = "GET";
    } else if (operation == "create") {
        request.method = "POST";
        request.headers["Content-Type"] = "application/json";
        request.headers["Prefer"] = "return-content";
    } else if (operation == "delete") {
        request.method = "DELETE";
    } else if (operation == "insert") {
        // The client takes 201 (the entity echoed back) as the one success of an insert; with
        // "return-no-content" the service would answer 204.
        request.method = "POST";
        request.headers["Content-Type"] = "application/json";
        request.headers["Prefer"] = "return-content";
    } else if (operation == "insert/replace") {
        request.method = "PUT";
        request.headers["Content-Type"] = "application/json";
    } else if (operation == "batch") {
        request.method = "POST";
    } else {
        request.method = "GET";
    }
    return request;
}

int CAzureTableStorageInfo::FetchCredentials(unsigned long instanceId) {
    m_fetched = false;
    m_fetchedAccounts.clear();
    platform::Runtime& runtime = m_environment->runtime();
    platform::catalog::Catalog* catalog = nullptr;
    platform::catalog::InstanceRecord instance;
    std::vector<platform::catalog::AccountRecord> accounts;
    platform::Status status = runtime.catalog(catalog);
    if (status.ok()) status = catalog->findInstance(static_cast<long long>(instanceId), instance);
    if (status.ok()) status = catalog->listAccounts(instance.id, accounts);
    if (!status.ok()) {
        m_environment->logMessage("FetchCredentials", status.message);
        return 0;
    }
    for (const auto& account : accounts) {
        runtime.log().registerSecret(account.accessKey);
        m_fetchedAccounts[account.name] = FetchedAccount{account.endpoint, account.accessKey};
    }
    m_fetched = true;
    return 1;
}

int CAzureTableStorageInfo::Connect() { return m_fetched ? 1 : 0; }

int CAzureTableStorageInfo::GetStorageAccountAuthenticationInfo(const std::string& account, std::string& accessKey,
                                                                std::string& url) {
    auto found = m_fetchedAccounts.find(account);
    if (!m_fetched || found == m_fetchedAccounts.end()) return 0;
    m_environment->runtime().log().registerSecret(found->second.key);
    accessKey = found->second.key;
    url = found->second.url;
    return 1;
}

int CAzureTableStorageInfo::browseStorageAccountNames(std::vector<std::string>& names) {
    if (!m_fetched) return 0;
    names.clear();
    for (const auto& account : m_fetchedAccounts) names.push_back(account.first);
    return 1;
}

int CAzureTableStorageInfo::BrowseStorageAccounts(App::CloudDBEntity& accounts) {
    std::vector<std::string> names;
    if (!browseStorageAccountNames(names)) return 0;
    accounts.list(App::CloudDBEntity::ChildrenField).clear();
    for (const std::string& name : names) accounts.addChild(App::CloudDBEntity::storageAccount(name));
    return 1;
}
