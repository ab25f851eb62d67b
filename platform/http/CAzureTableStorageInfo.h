#pragma once
// The request builder of one storage account, and the base of the Table service client. Holds
// the account's credential values, the environment the client logs through and the transport,
// which works on the environment's runtime (IdaEnvironment::runtime()). The table listing
// (queryTables) is the client's: AzureTableStorage.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/http/AzureTableRequest.h"
#include "platform/http/AzureTableRequestService.h"
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

    // A request prepared for `operation` ("", "create", "delete", "insert", "insert/replace",
    // "batch"): method, base URL, standard headers and signing information.
    AzureTableRequest baseRequest(const std::string& operation) const;
    // The service's clock: the "Date" of its most recent reply to this client, in seconds since
    // 1970; 0 while no reply carried one.
    long long serviceTime() const { return requestService.lastReplyTime(); }

protected:
    AzureTableRequestService requestService;
};

// True when `url` addresses the account path-style (emulator): http(s)://host[:port]/<account>.
AZT_API bool isPathStyleAccountUrl(const std::string& url, const std::string& accountName);
