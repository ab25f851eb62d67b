#pragma once
// The application records of the agent, read from the catalog of a runtime's home folder
// (Runtime::catalog): a subclient with its content and configuration XML, the application
// (subclient) with the instance, backup set and client it belongs to, and the subclients of a
// backup set.
//
// Results: int operations return 0 on success and otherwise a platform error code, 1168 when the
// record is not in the catalog and 1627 when the catalog cannot be read or written; the reason in
// words goes to the runtime's debug log. A failure changes nothing.
//
// Ownership and threads: each object holds the ids and names it read when it was constructed and
// refers to its runtime, which must outlive it; content and configuration are read from the
// catalog at each call and written to it at once. One thread at a time per object; objects on
// one runtime may be used from several threads.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/runtime/Runtime.h"
#include "platform/util/Export.h"

namespace platform {
namespace catalog {

// The codes of a failed record operation.
constexpr int kRecordNotFound = 1168;
constexpr int kRecordFailed = 1627;
// The application type of this agent's subclients.
constexpr int kAzureTableAppType = 1;

}  // namespace catalog
}  // namespace platform

// One subclient (a backup definition).
class AZT_API Subclient {
public:
    // Reads the subclient's record; exists() says whether there was one.
    explicit Subclient(unsigned long subclientId, platform::Runtime& runtime = platform::defaultRuntime());

    bool exists() const { return m_exists; }
    unsigned long getSubclientId() const { return m_id; }
    std::string getName() const { return m_name; }
    unsigned long getBackupSetId() const { return m_backupSetId; }
    // The configuration XML as stored now ("" when none was set).
    int getConfigXML(std::string& xml);
    // Replaces the configuration XML in the catalog.
    int setConfigXML(const std::string& xml);
    int isDefaultSubclient(bool& isDefault);

private:
    platform::Runtime& m_runtime;
    unsigned long m_id;
    bool m_exists = false;
    std::string m_name;
    unsigned long m_backupSetId = 0;
    bool m_default = false;
};

// The content of a subclient, as the agent's content tree in XML.
class AZT_API TableStorageSubclient {
public:
    explicit TableStorageSubclient(unsigned long subclientId, platform::Runtime& runtime = platform::defaultRuntime());
    // The content XML as stored now.
    int getDynamicContent(std::string& xml);

private:
    platform::Runtime& m_runtime;
    unsigned long m_id;
};

// An application of a backup domain: the subclient `appId` of cell `cellId`, with its backup
// set, instance and client.
class AZT_API ApplicationId {
public:
    ApplicationId(unsigned long cellId, unsigned long appId, platform::Runtime& runtime = platform::defaultRuntime());
    ~ApplicationId();
    ApplicationId(const ApplicationId&) = delete;
    ApplicationId& operator=(const ApplicationId&) = delete;

    // The subclient, owned by this object; null when the catalog has none of that id or the
    // cell is not the catalog's.
    Subclient* getSubclient();
    // The name of the client owning the subclient's instance.
    int getClientName(std::string& clientName);
    unsigned long getInstanceId() const { return m_instanceId; }    // 0 when none
    unsigned long getBackupSetId() const { return m_backupSetId; }  // 0 when none
    bool hasBackupSet() const { return m_backupSetId != 0; }
    int getAppType() const { return platform::catalog::kAzureTableAppType; }

private:
    platform::Runtime& m_runtime;
    unsigned long m_cellId;
    unsigned long m_appId;
    std::unique_ptr<Subclient> m_subclient;
    unsigned long m_backupSetId = 0;
    unsigned long m_instanceId = 0;
    long long m_clientId = 0;
};

// The subclients of a backup set.
class AZT_API ClientApplicationList {
public:
    explicit ClientApplicationList(platform::Runtime& runtime = platform::defaultRuntime());
    // Replaces `idsAndNames` with the ids and names of the backup set's subclients, in id order
    // (none for another application type). `flags` is accepted and not used.
    int getSubclientList(int appType, unsigned long backupSetId, int flags,
                         std::vector<std::pair<unsigned long, std::string>>& idsAndNames);

private:
    platform::Runtime& m_runtime;
};
