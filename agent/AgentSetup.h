#pragma once
// Setting up the agent on a machine: the home folder with its catalog, backup store, job
// results and configuration, the storage accounts of an instance, and the read-only views a
// person uses while setting up (accounts, tables, events).
//
// Every operation works on the runtime it is given; those after initHome need the runtime's
// home set (openHome). They run on the caller's thread and block for the requests they send.
// A failure is a Status in words (never quoting a key); what it leaves behind is said per
// operation.
#include <string>
#include <vector>

#include "platform/catalog/Catalog.h"
#include "platform/util/Export.h"
#include "platform/util/Status.h"
#include "table_service/AzureTableCredentials.h"

namespace platform {
class Runtime;
}

namespace AzureTableIDA {

// The files and folders of a home folder.
struct AZT_API HomeLayout {
    std::string home;           // mode 0700
    std::string catalog;        // catalog.db, mode 0600
    std::string store;          // store/: backup data
    std::string jobResults;     // jobresults/
    std::string logs;           // log/
    std::string configuration;  // aztable.conf, mode 0600

    static HomeLayout of(const std::string& home);
};

struct AZT_API InitResult {
    HomeLayout layout;
    bool created = false;  // false: everything was there already and nothing changed
    std::string clientName;
    unsigned long cellId = 0;
    long long clientId = 0;
    long long instanceId = 0;
    long long backupSetId = 0;
    long long subclientId = 0;
};

// Creates the home folder and what the agent needs in it: the catalog, store/, jobresults/,
// log/, the configuration file (sections "QuorvServe" and "AzureTableStorage"), cell 2, this
// machine as the client, the instance "default" with the backup set "defaultBackupSet" and its
// default subclient (the whole instance). Run again, it changes nothing. A home that exists but
// is not a writable folder is refused before anything is created; a folder other users can
// reach is refused unless it is empty.
AZT_API platform::Status initHome(const std::string& home, InitResult& result);

// The catalog of the runtime's home; NotFound, naming `aztable init`, when there is none.
AZT_API platform::Status openCatalog(platform::Runtime& runtime, platform::catalog::Catalog*& catalog);
// The backup store folder the home's configuration names ([AzureTableStorage] StoreDirectory).
AZT_API platform::Status storeDirectory(platform::Runtime& runtime, std::string& store);
// The folder of one job in the store: <store>/<cell>/<subclient>/<job> (each table of the job
// below it in <account>/<table>).
AZT_API std::string jobFolder(const std::string& store, unsigned long cell, long long subclient, long long job);

// Points `runtime` at an initialised home folder (its catalog, configuration and log folder).
// NotFound, naming `aztable init`, when there is none.
AZT_API platform::Status openHome(platform::Runtime& runtime, const std::string& home);

struct AZT_API AccountSummary {
    std::string instance;
    std::string name;
    std::string endpoint;  // never the key
};

// Stores an account of `instance` after checking `credentials` against the service (one table
// listing). The account name must be the one the credentials sign for. Nothing is stored when
// the check fails; an account of the same name is replaced. `tablesSeen` receives the count.
AZT_API platform::Status addAccount(platform::Runtime& runtime, const std::string& instance, const std::string& name,
                                    const AzureTableCredentials& credentials, size_t& tablesSeen);
AZT_API platform::Status removeAccount(platform::Runtime& runtime, const std::string& instance,
                                       const std::string& name);
// The accounts of `instance` ("" = every instance), by instance and name.
AZT_API platform::Status listAccounts(platform::Runtime& runtime, const std::string& instance,
                                      std::vector<AccountSummary>& accounts);

struct AZT_API AccountTables {
    std::string account;
    std::vector<std::string> tables;
    bool failed = false;
    std::string failure;  // why the listing failed, in words
};

// The tables of one account of `instance`, or of all its accounts when `account` is empty.
// Every account is listed even when an earlier one fails; the status is Failed naming every
// account that failed, with `accounts` holding the rest.
AZT_API platform::Status listTables(platform::Runtime& runtime, const std::string& instance,
                                    const std::string& account, std::vector<AccountTables>& accounts);

// The recorded events, oldest first; `jobId` -1 = all.
AZT_API platform::Status listEvents(platform::Runtime& runtime, long long jobId,
                                    std::vector<platform::catalog::EventRecord>& events);

}  // namespace AzureTableIDA
