#pragma once
// The restore plug-in: the factory a platform takes from GetRemoteFileFactory, initialises with
// a restore job and asks, object by object, where each backed-up object's data goes. It routes
// an object to a new input that replays it into its destination table, lets it continue the
// current input (same folder), or discards it (a path that names no table object).
//
// It lives in the agent layer because routing needs the agent context (the destination
// instance's credentials).
//
// Ownership: the factory owns its logging environment and options; the platform shares its
// current input. Threads: Initialize and Process on one thread; the inputs are then fed and
// replayed as IdaBufferedInput says. A failed Process leaves no current input and no current
// folder, so no later object is ever fed into an input prepared for another table.
#include <string>

#include "platform/ida/CloudDBRemoteFileFactory.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/messages/Messages.h"
#include "platform/util/CTnError.h"
#include "platform/util/Export.h"

namespace platform {
class Runtime;
}

class AZT_API AzureTableRemoteFileRestoreFactory : public CloudDBRemoteFileFactory {
public:
    AzureTableRemoteFileRestoreFactory();
    explicit AzureTableRemoteFileRestoreFactory(platform::Runtime& runtime);
    ~AzureTableRemoteFileRestoreFactory() override;

    // Loads the restore job's Azure table restore options (source -> destination tables).
    virtual CTnError Initialize(long long restoreJobId);
    // Routes the object at `path` ("/<account>/<table>/<F|I><job>/<object>"): `sameObject` is set
    // when it continues the current input.
    virtual CTnError Process(const CloudConnectionDetails& connection, const std::string& path, bool& sameObject);

    const App::AzureDbRestoreOptions& restoreOptions() const { return m_azureOptions; }
    const std::string& currentFolder() const { return m_currentFolder; }
    bool ignoring() const { return m_ignoring; }

private:
    CTnError route(const CloudConnectionDetails& connection, const std::string& path, std::vector<std::string>& fields);

    platform::Runtime& m_runtime;
    std::string m_currentFolder;
    IdaLoggingEnvironment m_loggingEnvironment;
    App::AzureDbRestoreOptions m_azureOptions;
    bool m_ignoring = false;
};

// The plug-in's entry point: a new factory the caller owns.
extern "C" AZT_API CloudDBRemoteFileFactory* GetRemoteFileFactory();
