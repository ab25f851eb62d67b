#include "agent/AzureTableRemoteFileFactory.h"

#include "agent/AzureTableUtil.h"
#include "platform/catalog/RestoreTask.h"
#include "platform/log/LogWriter.h"
#include "platform/runtime/Runtime.h"
#include "platform/util/FXString.h"
#include "restore/AzureTableRestore.h"

#define FACTORY_LOCATION (CTnCodeLocation{"AzureTableRemoteFileFactory", __func__, __LINE__})
#define FACTORY_DEBUG(...)                                                          \
    do {                                                                            \
        platform::log::LogWriter writer(m_runtime);                                 \
        if (writer.getLevel() > 2) AZT_LOG_LINE(writer, 3, __VA_ARGS__);            \
    } while (0)

AzureTableRemoteFileRestoreFactory::AzureTableRemoteFileRestoreFactory()
    : AzureTableRemoteFileRestoreFactory(platform::defaultRuntime()) {}

AzureTableRemoteFileRestoreFactory::AzureTableRemoteFileRestoreFactory(platform::Runtime& runtime)
    : m_runtime(runtime), m_loggingEnvironment("", runtime) {}

AzureTableRemoteFileRestoreFactory::~AzureTableRemoteFileRestoreFactory() = default;

CTnError AzureTableRemoteFileRestoreFactory::Initialize(long long restoreJobId) {
    EvRstTask task(restoreJobId, 0, nullptr, false, false, m_runtime);
    std::string xml;
    if (task.getXMLOptions(xml, nullptr) != 0)
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kOperationFailed,
                                       "Failed to retrieve XML options from restore rstTask");
    App::RestoreJobOptions options;
    if (options.unserialize(xml) != 0)
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kOperationFailed,
                                       "Failed to unserialize restore job options [%s]", xml.c_str());
    if (!options.getCloudAppsRestoreOptions())
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kOperationFailed, "CloudAppsRestoreOptions not found");
    const CNMessageBase* azure = options.getAzureDbRestoreOptions();
    if (!azure)
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kOperationFailed, "ptrAzureDbRestoreOptions not found");
    m_azureOptions = App::AzureDbRestoreOptions(*azure);
    return CTnError();
}

CTnError AzureTableRemoteFileRestoreFactory::Process(const CloudConnectionDetails& connection, const std::string& path,
                                                     bool& sameObject) {
    std::vector<std::string> fields;
    FXString::Split(path, "/", fields, 0);
    if (fields.size() != 5) {
        FACTORY_DEBUG("Skipping '%s'", path.c_str());
        m_currentInput.reset();
        m_currentInput = std::make_shared<BufferedRestoreIgnoreData>(&m_loggingEnvironment, new KxCriticalSectionH);
        m_ignoring = true;
        return CTnError();
    }
    if (!m_ignoring && !m_currentFolder.empty() && m_currentFolder.size() <= path.size() &&
        path.compare(0, m_currentFolder.size(), m_currentFolder) == 0) {
        sameObject = true;
        return CTnError();
    }
    CTnError result = route(connection, path, fields);
    if (result.isError()) {
        // Nothing of this folder may reach the input of another table: the next object of it is
        // routed afresh (and fails the same way).
        m_currentInput.reset();
        m_currentFolder.clear();
    }
    return result;
}

CTnError AzureTableRemoteFileRestoreFactory::route(const CloudConnectionDetails& connection, const std::string& path,
                                                   std::vector<std::string>& fields) {
    m_ignoring = false;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kBadPathOrTable, "%s is not a valid filename",
                                       path.c_str());
    m_currentFolder = path.substr(0, slash);
    std::string sourceAccount = fields[1], sourceTable = fields[2];
    const bool full = !fields[3].empty() && fields[3][0] == 'F';

    App::AzureDBTable destination;
    bool found = m_azureOptions.findDestination(sourceAccount, sourceTable, destination);
    std::string destinationAccount = found ? destination.storageAccount() : std::string();
    std::string destinationTable = found ? destination.tableName() : std::string();
    if (destinationAccount.empty() || destinationTable.empty())
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kBadPathOrTable,
                                       "Failed to get destination(%s/%s) for source(%s/%s)", destinationAccount.c_str(),
                                       destinationTable.c_str(), sourceAccount.c_str(), sourceTable.c_str());

    m_currentInput.reset();
    AzureTableIDA::AzureTableUtil util(m_runtime);
    int code = util.InitializeForRestore(connection.destinationInstanceId);
    if (code != 0) return FXErrorUtil::ErrorKXResult(FACTORY_LOCATION, FXErrorUtil::ErrorWin32(FACTORY_LOCATION, code,
                                                         "Failed to fetch the credentials of instance %lu",
                                                         connection.destinationInstanceId));
    AzureTableCredentials& credentials = util.credentialMap[destinationAccount];
    if (full) {
        auto input = std::make_shared<BufferedRestoreFromFull>(&m_loggingEnvironment, new KxCriticalSectionH);
        m_currentInput = input;
        FACTORY_DEBUG("Initialized %s %s", destinationTable.c_str(), destinationAccount.c_str());
        if (!input->initialize(&credentials, sourceTable, destinationTable, m_loggingEnvironment))
            return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kPreparationFailed,
                                           "Restore during full backup buffered input inits failed");
        return CTnError();
    }
    auto input = std::make_shared<BufferedRestoreFromIncremental>(&m_loggingEnvironment, new KxCriticalSectionH);
    m_currentInput = input;
    FACTORY_DEBUG("Initialized incr %s %s", destinationTable.c_str(), destinationAccount.c_str());
    IdxMetadata::DynamoDBMetadata metadata;
    if (metadata.unserialize(CExtendedOptions(connection.extendedOptions).getOption(sourceAccount + ":" + sourceTable)) != 0)
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kOperationFailed, "Failed to unserialize DynamoDBMetadata");
    if (!input->initialize(&credentials, sourceTable, destinationTable, &m_loggingEnvironment, 0))
        return FXErrorUtil::ErrorWin32(FACTORY_LOCATION, CTnError::kPreparationFailed,
                                       "Restore during inc backup buffered input inits failed");
    return CTnError();
}

extern "C" CloudDBRemoteFileFactory* GetRemoteFileFactory() { return new AzureTableRemoteFileRestoreFactory(); }
