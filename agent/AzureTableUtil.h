#pragma once
// The agent's context of one backup or restore job: which application (subclient), backup
// domain and job it serves, the storage accounts' credentials, the agent configuration (chunk
// size, tables), the restore runners of a restore, and the job's result directories.
//
// Owns all its members; the runner map shares ownership of each runner. No virtual functions,
// no lock: one thread at a time, never copied. Operations report failures through the runtime's
// process log writer and their return value; nothing is thrown. A failed operation leaves what
// it had filled so far (credentials of earlier accounts, tables already appended).
//
// Every platform record it reads (catalog, configuration, events) is reached through the
// runtime it was built with: the default runtime unless a constructor was given one.
#include <boost/shared_ptr.hpp>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/catalog/ApplicationRecords.h"
#include "platform/catalog/ClientRecords.h"
#include "platform/catalog/EvEvent.h"
#include "platform/catalog/JobIndexRecords.h"
#include "platform/catalog/RestoreTask.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/json_spirit/json_spirit.h"
#include "platform/log/EvDebug.h"
#include "platform/log/LogWriter.h"
#include "platform/messages/Messages.h"
#include "platform/util/CProgramArguments.h"
#include "platform/util/CTnError.h"
#include "platform/util/Export.h"
#include "restore/AzureTableRestore.h"
#include "table_service/AzureTableCredentials.h"
#include "table_service/AzureTableDescription.h"

namespace platform {
class Runtime;
}

namespace AzureTableIDA {

// The installation configuration's sections: this agent's and the management server's.
extern AZT_API const char* const c_dynamoSubKey;  // "AzureTableStorage"
extern AZT_API const char* const c_quorvServ;     // "QuorvServe"

typedef long long KXJobID;

class AZT_API AzureTableConfig {
public:
    int getChunkSizeMB() const { return chunkSizeMB; }
    void setChunkSizeMB(int megabytes) { chunkSizeMB = megabytes; }
    std::vector<App::AzureDBTable>* getTables() { return &tables; }
    void setTables(std::vector<App::AzureDBTable>* replacement) { tables = *replacement; }

    int chunkSizeMB = 16;
    std::vector<App::AzureDBTable> tables;
};

class AZT_API AzureTableUtil {
public:
    // The job event id of minorEvent, majorEvent and criticalEvent.
    static constexpr unsigned long kJobEventId = 0x4800006A;
    // The cloud-application instance type of the Azure service object.
    static constexpr int kCloudAppsInstanceType = 32;

    AzureTableUtil();
    AzureTableUtil(unsigned int appId, unsigned int quorvCellId);
    explicit AzureTableUtil(platform::Runtime& runtime);
    AzureTableUtil(unsigned int appId, unsigned int quorvCellId, platform::Runtime& runtime);
    ~AzureTableUtil();
    AzureTableUtil(const AzureTableUtil&) = delete;
    AzureTableUtil& operator=(const AzureTableUtil&) = delete;

    // --- Binding to an application and a job
    // Reads the option "a" ("<quorvcell-id>:<application-number>") and binds with the job id the
    // context already holds. 0, or 1 on failure.
    int Initialize(boost::shared_ptr<CProgramArguments>& arguments);
    // Binds the context to an application and a job (three zeros: the ids it holds) and prepares
    // a backup: client and host names, content, credentials, configuration, tables, directories.
    // 0, or non-zero on failure (a client name that cannot be read only makes the result non-zero).
    int Initialize(unsigned long quorvCellId, unsigned long appId, KXJobID jobId);

    // --- Subclient content and table discovery
    // Reads the content into subclientContent, seeds and fills the credential map, reads the
    // chunk size. 0 or -1.
    int InitFromSubclientProp(Subclient* subclient, bool& allAccounts);
    // Expands the content into config's table list (the default subclient of whole-instance
    // content leaves out what the backup set's other subclients cover). 0, -1 or 1.
    int FetchTables(ApplicationId& application, const unsigned long& subclientId, bool isDefault, bool allAccounts);
    // Appends the tables another subclient's content names. 0 or -1.
    int FetchTablesForSubclient(unsigned long subclientId, std::vector<App::AzureDBTable>& tables);
    CTnError getTables(std::vector<App::AzureDBTable>*& tables);
    void toAccountTablePair(const std::string& account, const std::string& table, std::string& pair);
    void fromAccountTablePair(const std::string& pair, std::string& account, std::string& table);

    // --- Context and directories
    // Creates <results>/KX_JobResults/2/0/<job> and <results>/<cell>/<app>/osc; 0 or 1.
    int CreateJobResultsDirectory();
    std::string getLocalHostName();
    int setXmlDiscover() { return 0; }
    void setSkipContentInit(bool skip) { skipContentInit = skip; }
    AzureTableConfig* getAzureTableConfig() { return &config; }

    // --- Job events (id kJobEventId, the text as the one argument)
    void minorEvent(const std::string& message);
    void majorEvent(const std::string& message);
    void criticalEvent(const std::string& message);

    // --- Look-ups
    bool GetKxClientEntityForHost(const std::string& hostName, KxEntities::ClientEntity& entity);

    // --- Credentials and table listing
    // Fills the credential map: the accounts already in it, or every account of the instance
    // when it is empty. 0 or -1 (the accounts filled before a failure stay filled).
    int initializeCredentialMap(unsigned long instanceId);
    int InitFromInstanceProp(unsigned long instanceId) { return initializeCredentialMap(instanceId); }
    // Appends the tables of one account (an account not in the map is added with empty
    // credentials), or of every account in map order when `accountName` is empty (stopping at
    // the first failure).
    int listTables(std::string accountName, std::vector<App::AzureDBTable>& tables);
    // Appends the tables of the account `credentials` reach; 0 or -1. `why`, when given, receives
    // the cause of a failure in words (the service's reply summarised, keys scrubbed).
    int listTables(AzureTableCredentials& credentials, std::vector<App::AzureDBTable>& tables,
                   std::string* why = nullptr);

    // --- Configuration
    int setBackupRefTime(long long refTime);
    int getLastBackupRefTime(long long& refTime);

    // --- Restore job discovery (AzureTableRestoreDiscovery.cpp)
    // The chain of jobs a restore to `toTime` (0 = now) replays: the newest full backup at or
    // before it and every incremental after that, ascending in `jobIds`; `earlierJobId` is the
    // job just before the chain (0 when none). `appId`/`quorvCellId` 0: the context's.
    CTnError getJobListByAppId(unsigned long toTime, std::vector<long long>& jobIds, KXJobID& earlierJobId,
                               std::vector<GetArchFileListForJobRetCC_t>& archFiles,
                               std::map<long long, unsigned long long>& jobLevels, unsigned long appId,
                               unsigned long quorvCellId);
    // The index entries under `path`: their paths, and the metadata of each by position.
    bool browseIndex(const std::string& mediaAgent, const std::string& clientName, unsigned int option,
                     unsigned long quorvCellId, unsigned long appId, unsigned long timeStamp, const std::string& path,
                     std::vector<std::string>& paths, std::map<int, std::string>& metadata);
    // The stored description of one table in one job; tries the other backup type when the
    // first browse fails, inverting `incremental` for the caller.
    bool browseIndexForTable(const std::string& account, const std::string& table, long long jobId,
                             const std::string& mediaAgent, const std::string& clientName, unsigned int option,
                             unsigned long quorvCellId, unsigned long appId, IdxMetadata::DynamoDBMetadata& metadata,
                             bool& incremental);
    // "Mon Jan 04 2021 10:30:05" as local time in seconds since 1970; 0 for an unknown month.
    long long GetEpochTime(std::string text);

    // --- Restore options (AzureTableRestoreOptions.cpp)
    // Creates and prepares one restore runner per destination table of the task's options
    // (kept, re-created or created), with the destination account's credentials and the
    // source table's stored description from `descriptions` ("<account>:<table>" -> the text of
    // a DynamoDBMetadata message). Runners made before a failure stay in restoreRunners.
    CTnError ProcessRestoreOptions(boost::shared_ptr<EvRstTask> task, const std::map<std::string, std::string>& descriptions,
                                   bool useExistingTable, std::string& untouched);
    // Fills the credential map with the destination instance's accounts. 0, or non-zero.
    int InitializeForRestore(unsigned long instanceId);
    // Concludes and releases every runner.
    CTnError CleanupRestore();

    // --- File, command and JSON helpers (none touches the job state)
    // Runs `command` with its error stream joined to its output ("<command> 2>&1") through
    // KxProcess::system (no time limit; `echoToStdout` passed on) and returns its result. The
    // command is shell text: quote every piece that came from a user with platform::shellQuote.
    int ExecCmd(const std::string& command, std::string& out, std::string& err, bool echoToStdout);
    // Replaces, in order, the first occurrence of each search[i] by replace[i] (a later search
    // sees the text already edited) and writes the file back durably: temp file, fsync, the old
    // file's mode, rename; a symbolic link is followed. A 1627 error when the file cannot be
    // read or written, or when there are fewer replacements than search strings; the file is
    // then unchanged.
    CTnError _EditConfFileContents(const std::string& path, std::vector<std::string>& search,
                                   std::vector<std::string>& replace);
    // Appends one row per line of the file, split at every `separator`. A missing file reads as
    // empty (true); false after a debug error line when reading fails.
    bool splitLines(const std::string& path, const std::string& separator,
                    std::vector<std::vector<std::string>>& rows);
    // Writes one line per row, fields joined by `separator`, replacing the file durably as
    // _EditConfFileContents does (a new file gets mode 0600). False after a debug error line,
    // with the file unchanged.
    bool putLines(const std::string& path, const std::string& separator,
                  const std::vector<std::vector<std::string>>& rows);
    // Typed reads of the first member called `key`: its value, or the default ("", false, 0,
    // empty object or array) when it is absent, null or of another type (a negative number for
    // GetUInt64Value and one above 2^63-1 for GetIntValue included). With traceToStdout set,
    // the look-up and the misses are traced on standard output. Nothing is thrown.
    std::string GetStringValue(const json_spirit::Object& object, const std::string& key) const;
    bool GetBoolean(const json_spirit::Object& object, const std::string& key) const;
    long long GetIntValue(const json_spirit::Object& object, const std::string& key) const;
    unsigned long long GetUInt64Value(const json_spirit::Object& object, const std::string& key) const;
    json_spirit::Object GetObjectValue(const json_spirit::Object& object, const std::string& key) const;
    json_spirit::Array GetArrayValue(const json_spirit::Object& object, const std::string& key) const;
    // A new description of the member "value" of the JSON object `text` holds. Never null: text
    // that is not JSON, is not an object, or has no "value" member gives a description of null
    // (empty table name, null document).
    std::shared_ptr<AzureTableDescription> parseDescriptionJson(const std::string& text) const;

    platform::Runtime& runtime() const { return *m_runtime; }

    // Fields, in the order of the context's definition.
    bool traceToStdout = false;
    std::string localHostName;
    unsigned long long appId = 0;
    unsigned long long quorvCellId = 2;
    KXJobID jobId = 0;
    std::string clientName;
    std::string jobResultsDir;
    std::string subclientDir;
    EvDebug debugLog;
    AzureTableConfig config;
    App::CloudDBEntity subclientContent;
    std::map<std::string, AzureTableCredentials> credentialMap;
    std::map<std::string, std::shared_ptr<AzureTableRestoreRunner>> restoreRunners;
    IdaLoggingEnvironment loggingEnvironment;
    bool skipContentInit = false;
    // The accounts whose table listing failed since the last FetchTables began, with the cause
    // in words: a backup of their tables cannot be complete.
    std::map<std::string, std::string> listingFailures;

private:
    // Reads a subclient's content text into `content`; 0, or -1 after logging why.
    int readContent(unsigned long subclientId, App::CloudDBEntity& content, std::string& text);
    // Appends the tables the content children name (types 45, 52, 17); -1 on another type.
    int expandContent(const std::vector<CNMessageBase>& children, std::vector<App::AzureDBTable>& tables);

    enum class Severity { Minor, Major, Critical };
    // The configuration XML of the application's subclient: 0, -1 when there is no subclient,
    // else the platform's code (each logged).
    int fetchConfigXml(ApplicationId& application, std::string& xml);
    void raiseEvent(Severity severity, const std::string& message);

    platform::Runtime* m_runtime;
    platform::log::LogWriter m_log;
};

// Orders index archive files oldest first.
AZT_API bool funcArchFileCreationTimeSort(const GetArchFileListForJobRetCC_t& a, const GetArchFileListForJobRetCC_t& b);

// Reads one value of the installation configuration (section `section`, or c_dynamoSubKey when
// null; c_quorvServ whenever `managementServer`) into `buffer` of `bufferSize` bytes. 0 when
// found, -1 otherwise (a null buffer or a size of 0 included). `unused` is ignored.
AZT_API int GetRegistryItemValue(const char* name, char* buffer, unsigned int bufferSize, const char* unused,
                                 bool managementServer, const char* section);
// The same on a given runtime.
AZT_API int GetRegistryItemValue(const char* name, char* buffer, unsigned int bufferSize, const char* unused,
                                 bool managementServer, const char* section, platform::Runtime& runtime);

}  // namespace AzureTableIDA
