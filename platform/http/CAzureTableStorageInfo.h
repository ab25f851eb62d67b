#pragma once
// The request builder of one storage account, and the base of the Table service client. Holds
// the account's credential values, the environment the client logs through and the transport,
// which works on the environment's runtime (IdaEnvironment::runtime()). The table listing
// (queryTables) is the client's: AzureTableStorage.
//
// It is also the credential store's view of one instance: FetchCredentials reads the instance's
// storage accounts (name, endpoint URL, access key) from the runtime's catalog into the object,
// which then hands out each account's URL and key and registers every key it holds with the
// runtime's debug log, so no log line or event shows it. One thread at a time; a failed fetch
// leaves the object without credentials.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/http/AzureTableRequest.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/messages/Messages.h"
#include "platform/util/Export.h"

class IdaEnvironment;

struct AZT_API SHostCredentials {
    std::string host;
    std::string user;
    std::string password;
};

class AZT_API AzureServiceBase {
public:
    AzureServiceBase(IdaEnvironment& environment, int instanceType);
    virtual ~AzureServiceBase();

    virtual int FetchCredentials(unsigned long instanceId);
    virtual int FetchClientCredentials(unsigned long clientId);
    virtual int Init();
    virtual int DeInit();
    virtual int Connect();
    virtual int Connect(const std::string& account, const std::string& url, const std::string& key);
    virtual int Connect(const std::string& account, const std::string& url, const std::string& key,
                        const std::vector<SHostCredentials>& hosts);

protected:
    IdaEnvironment* m_environment;
    int m_instanceType;
    std::string m_accountName;
    std::string m_accountUrl;
    std::string m_accessKey;
    std::string m_spareText;
    long long m_spareNumber = -1;
};

class AZT_API CAzureTableStorageInfo : public AzureServiceBase {
public:
    CAzureTableStorageInfo(IdaEnvironment& environment, int instanceType);
    ~CAzureTableStorageInfo() override;

    // Each non-zero on success.
    // Loads the storage accounts of the instance (zero for an instance the catalog does not
    // have, or when the catalog cannot be read: the reason goes to the environment's log).
    int FetchCredentials(unsigned long instanceId) override;
    // Non-zero once credentials were fetched; nothing is contacted.
    int Connect() override;
    using AzureServiceBase::Connect;
    // The URL and key of one of the fetched accounts (zero for an account the instance does
    // not have).
    int GetStorageAccountAuthenticationInfo(const std::string& account, std::string& accessKey, std::string& url);
    // Replaces `names` with the names of the fetched accounts, in name order.
    int browseStorageAccountNames(std::vector<std::string>& names);
    // Replaces the top-level children of `accounts` with one storage-account entity per
    // fetched account, in name order.
    int BrowseStorageAccounts(App::CloudDBEntity& accounts);

    // A request prepared for `operation` ("", "create", "delete", "insert", "insert/replace",
    // "batch"): method, base URL, standard headers and signing information.
    AzureTableRequest baseRequest(const std::string& operation) const;
    // The service's clock: the "Date" of its most recent reply to this client, in seconds since
    // 1970; 0 while no reply carried one.
    long long serviceTime() const { return requestService.lastReplyTime(); }

protected:
    AzureTableRequestService requestService;

private:
    struct FetchedAccount {
        std::string url;
        std::string key;
    };
    bool m_fetched = false;
    std::map<std::string, FetchedAccount> m_fetchedAccounts;
};

// True when `url` addresses the account path-style (emulator): http(s)://host[:port]/<account>.
AZT_API bool isPathStyleAccountUrl(const std::string& url, const std::string& accountName);
