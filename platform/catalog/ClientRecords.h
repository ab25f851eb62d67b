#pragma once
// The client records of the agent: a client of the catalog looked up by name, this machine's
// client name and job results folder from the installation configuration, and the machine's
// name and configuration values in the form the agent reads them.
//
// Everything is read through a runtime (its home folder's catalog and aztable.conf), which must
// outlive the objects. A catalog or configuration that cannot be read counts as "not found"; the
// reason goes to the runtime's debug log. Nothing here writes.
//
// Threads: one thread at a time per object; the static calls from any thread.
#include <string>

#include "platform/runtime/Runtime.h"
#include "platform/util/Export.h"

namespace KxEntities {

struct AZT_API ClientEntity {
    int clientId = 0;
    std::string clientName;
};

}  // namespace KxEntities

// A client of the catalog, named by its client name or by its network host name (a client whose
// name matches comes first). The look-up happens once, on the first call that needs it.
class AZT_API KXClient {
public:
    explicit KXClient(const std::string& name, int nameType = 0,
                      platform::Runtime& runtime = platform::defaultRuntime());

    // True when the catalog has the client.
    bool lookup();
    // 0 with the id; 1168 when the client is unknown, 1627 when the catalog cannot be read.
    int getClientId(int& id);
    // The client's name ("" when unknown).
    std::string getShortName();
    // 0 with the client's network host name; non-zero as getClientId.
    int getNetworkHostName(std::string& host);

private:
    int find();

    platform::Runtime& m_runtime;
    std::string m_name;
    bool m_looked = false;
    int m_result = 0;
    long long m_id = 0;
    std::string m_clientName;
    std::string m_hostName;
};

// This machine's client, from the configuration ([QuorvServe] ClientName; "" when not set).
class AZT_API KXPI_Focus {
public:
    static std::string getFocus(platform::Runtime& runtime = platform::defaultRuntime());
    static std::string getFocusClientName(bool refresh = false,
                                          platform::Runtime& runtime = platform::defaultRuntime());
};

class AZT_API KXPI_QuorvClient {
public:
    // The job results folder ([QuorvServe] JobResultsDirectory; "" when not set). Every client
    // of this installation shares it.
    static std::string getJobResultsDirectory(const std::string& client,
                                              platform::Runtime& runtime = platform::defaultRuntime());
};

class AZT_API KXPlatformInfo {
public:
    explicit KXPlatformInfo(platform::Runtime& runtime = platform::defaultRuntime());

    void setFocus(const std::string& focus) { m_focus = focus; }
    // The machine's host name (gethostname); "" when the system gives none.
    std::string getPhysicalMachine();
    // Copies the configuration value into `buffer` with its NUL and sets *size to its length:
    // non-zero. Returns 0 when the value is not found, when buffer is null or *size is 0, or
    // when it does not fit (the buffer untouched; *size set to the size needed, NUL included,
    // whenever the value was found).
    int getString(const char* section, const char* name, char* buffer, int* size);

private:
    platform::Runtime& m_runtime;
    std::string m_focus;
};
