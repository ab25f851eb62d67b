#include "platform/catalog/ClientRecords.h"

#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/catalog/RecordSupport.h"

using platform::Status;
using platform::catalog::Catalog;
using platform::catalog::recordFailure;

KXClient::KXClient(const std::string& name, int, platform::Runtime& runtime) : m_runtime(runtime), m_name(name) {}

int KXClient::find() {
    if (m_looked) return m_result;
    m_looked = true;
    Catalog* catalog = nullptr;
    Status status = m_runtime.catalog(catalog);
    platform::catalog::ClientRecord client;
    if (status.ok()) status = catalog->findClient(m_name, client);
    if (status.code == Status::Code::NotFound && catalog) {
        std::vector<platform::catalog::ClientRecord> clients;
        status = catalog->listClients(clients);
        if (status.ok()) {
            status = Status(Status::Code::NotFound, "no client of the catalog has the name or host name '" + m_name + "'");
            for (const auto& candidate : clients) {
                if (!m_name.empty() && candidate.hostName == m_name) {
                    client = candidate;
                    status = Status();
                    break;
                }
            }
        }
    }
    if (!status.ok()) return m_result = recordFailure(m_runtime, "KXClient::lookup", status);
    if (client.id > INT_MAX)
        return m_result = recordFailure(m_runtime, "KXClient::lookup",
                                        Status(Status::Code::Failed, "the id of client '" + client.name + "' is too large"));
    m_id = client.id;
    m_clientName = client.name;
    m_hostName = client.hostName;
    return m_result = 0;
}

bool KXClient::lookup() { return find() == 0; }

int KXClient::getClientId(int& id) {
    int result = find();
    if (result == 0) id = static_cast<int>(m_id);
    return result;
}

std::string KXClient::getShortName() { return find() == 0 ? m_clientName : std::string(); }

int KXClient::getNetworkHostName(std::string& host) {
    int result = find();
    if (result == 0) host = m_hostName;
    return result;
}

std::string KXPI_Focus::getFocus(platform::Runtime& runtime) { return getFocusClientName(false, runtime); }

std::string KXPI_Focus::getFocusClientName(bool, platform::Runtime& runtime) {
    std::string value;
    platform::catalog::configurationValue(runtime, "KXPI_Focus::getFocusClientName", platform::config::kServerSection,
                                          "ClientName", value);
    return value;
}

std::string KXPI_QuorvClient::getJobResultsDirectory(const std::string&, platform::Runtime& runtime) {
    std::string value;
    platform::catalog::configurationValue(runtime, "KXPI_QuorvClient::getJobResultsDirectory",
                                          platform::config::kServerSection, "JobResultsDirectory", value);
    return value;
}

KXPlatformInfo::KXPlatformInfo(platform::Runtime& runtime) : m_runtime(runtime) {}

std::string KXPlatformInfo::getPhysicalMachine() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) return std::string();
    return name;
}

int KXPlatformInfo::getString(const char* section, const char* name, char* buffer, int* size) {
    if (!section || !name || !size) return 0;
    std::string value;
    if (!platform::catalog::configurationValue(m_runtime, "KXPlatformInfo::getString", section, name, value)) return 0;
    if (value.size() >= static_cast<size_t>(INT_MAX)) return 0;
    int needed = static_cast<int>(value.size()) + 1;
    if (!buffer || *size < needed) {
        *size = needed;
        return 0;
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    *size = static_cast<int>(value.size());
    return 1;
}
