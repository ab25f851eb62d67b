// Turning a restore job's options into prepared restore runners, and concluding them.
#include <list>

#include "agent/AzureTableUtil.h"

namespace AzureTableIDA {

#define UTIL_LOG(level, ...) AZT_LOG_LINE(m_log, platform::log::LogWriter::level, __VA_ARGS__)

CTnError AzureTableUtil::ProcessRestoreOptions(boost::shared_ptr<EvRstTask> task,
                                               const std::map<std::string, std::string>& descriptions,
                                               bool useExistingTable, std::string& /*untouched*/) {
    std::string xml;
    if (!task || task->getXMLOptions(xml, nullptr) != 0)
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "Failed to retrieve XML options from restore rstTask");
    App::RestoreJobOptions options;
    if (options.unserialize(xml) != 0)
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "Failed to unserialize restore job options [%s]", xml.c_str());
    if (!options.getCloudAppsRestoreOptions())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "CloudAppsRestoreOptions not found");
    const CNMessageBase* found = options.getAzureDbRestoreOptions();
    if (!found)
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "ptrAzureDbRestoreOptions not found");
    const App::AzureDbRestoreOptions azure(*found);
    const bool overwrite = azure.overwrite();
    if (!azure.hasDestinationTables())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "Failed to get Destination Table list");

    for (const App::AzureDbDestinationTable& element : azure.destinationTables()) {
        const App::AzureDBTable source = element.source(), destination = element.destination();
        AzureTableCredentials credentials = credentialMap[destination.storageAccount()];
        const std::string key = source.storageAccount() + ":" + source.tableName();
        auto description = descriptions.find(key);
        if (description == descriptions.end())
            return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kNotFound, "Metadata not found for %s", key.c_str());
        IdxMetadata::DynamoDBMetadata metadata;
        if (metadata.unserialize(description->second) != 0)
            return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "Failed to unserialize DynamoDBMetadata");
        loggingEnvironment.putDescriptionString(metadata.description());
        auto runner = std::make_shared<AzureTableRestoreRunner>(credentials, loggingEnvironment);
        std::list<IdaEnvironment*> none;
        if (!runner->initialize(overwrite, destination.tableName(), &loggingEnvironment, none, useExistingTable))
            return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kPreparationFailed, "Restore initialization failed");
        restoreRunners[destination.tableName()] = runner;
    }
    return CTnError();
}

int AzureTableUtil::InitializeForRestore(unsigned long instanceId) {
    if (instanceId == 0) {
        UTIL_LOG(Error, "Invalid destination instance id input");
        return 1;
    }
    return initializeCredentialMap(instanceId);
}

CTnError AzureTableUtil::CleanupRestore() {
    for (auto& entry : restoreRunners)
        if (entry.second) entry.second->conclude(entry.first, true);
    restoreRunners.clear();
    return CTnError();
}

}  // namespace AzureTableIDA
