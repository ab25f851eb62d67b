#pragma once
// The subclients of an instance as a person defines them on the command line: what each backs
// up (the whole instance, storage accounts, single tables), in which backup set, and whether it
// is its set's default subclient.
//
// Every operation works on the catalog of the runtime's home (openHome first), on the caller's
// thread. Content is stored as the agent reads it back: an App::CloudDBEntity whose children are
// root(), storageAccount(a) or table(a, t), with a configuration XML (App::AzureTableAgentConfig)
// that is empty unless the subclient tracks deletions. A failure is a Status in words and changes nothing (a backup set made for a subclient that is then refused
// is made in the same transaction and so is not kept either).
#include <string>
#include <utility>
#include <vector>

#include "platform/catalog/Catalog.h"
#include "platform/util/Export.h"
#include "platform/util/Status.h"

namespace platform {
class Runtime;
}

namespace AzureTableIDA {

struct AZT_API SubclientDefinition {
    std::string instance = "default";
    std::string backupSet;  // "": the instance's default backup set; made when missing
    std::string name;
    bool all = false;                                          // the whole instance
    std::vector<std::string> accounts;                         // every table of these accounts
    std::vector<std::pair<std::string, std::string>> tables;   // account, table
    // Make it its backup set's default subclient: refused while the set has one (the set made
    // with the instance has "default"); a default subclient of the whole instance backs up only
    // the tables no other subclient of its set names.
    bool makeDefault = false;
    // Its jobs also store every table's key set, so a restore leaves out entities deleted
    // before the job it restores (and with --use-existing deletes them).
    bool trackDeletions = false;
};

struct AZT_API SubclientSummary {
    long long id = 0;
    std::string instance, backupSet, name;
    bool isDefault = false;
    // "all", "account A" or "table A/T", in content order.
    std::vector<std::string> content;
    long long lastBackupRefTime = 0;  // where the next incremental job starts; 0 = none yet
    bool trackDeletions = false;
    size_t jobs = 0;
};

// Checks the names (each account must be one of the instance's; each table must be listed by
// its account, which asks the service once per account) and stores the subclient.
AZT_API platform::Status createSubclient(platform::Runtime& runtime, const SubclientDefinition& definition,
                                         SubclientSummary& made);
// The subclients of `instance`, by backup set and id.
AZT_API platform::Status listSubclients(platform::Runtime& runtime, const std::string& instance,
                                        std::vector<SubclientSummary>& subclients);
AZT_API platform::Status showSubclient(platform::Runtime& runtime, const std::string& instance,
                                       const std::string& backupSet, const std::string& name, SubclientSummary& out);
// Refused for a default subclient and for one with jobs (their backups name it).
AZT_API platform::Status deleteSubclient(platform::Runtime& runtime, const std::string& instance,
                                         const std::string& backupSet, const std::string& name);
// The subclient record of that name; NotFound naming it (and `aztable subclient list`).
AZT_API platform::Status findSubclientRecord(platform::Runtime& runtime, const std::string& instance,
                                             const std::string& backupSet, const std::string& name,
                                             platform::catalog::SubclientRecord& out);

}  // namespace AzureTableIDA
