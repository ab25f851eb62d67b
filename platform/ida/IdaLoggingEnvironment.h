#pragma once
// Environments that are not a backup's own: their outputs keep no data and they have no
// inputs. IdaLoggingEnvironment writes its lines to its runtime's debug log.
#include <string>

#include "platform/ida/IdaEnvironment.h"
#include "platform/util/Export.h"

class AZT_API IdaPrototypeEnvironmentDropOutputData : public IdaEnvironment {
public:
    explicit IdaPrototypeEnvironmentDropOutputData(const std::string& name);
    IdaPrototypeEnvironmentDropOutputData(const std::string& name, platform::Runtime& runtime);

    void logMessage(const char* functionName, const std::string& message) override;
    bool logEnabled() const override { return false; }
    std::shared_ptr<IdaOutput> createOutput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaOutput> createDescriptionOutput() override;
    std::shared_ptr<IdaInput> createInput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaInput> createMetadataInput() override;
    std::shared_ptr<IdaInput> createDescriptionInput() override;
};

class AZT_API IdaLoggingEnvironment : public IdaPrototypeEnvironmentDropOutputData {
public:
    explicit IdaLoggingEnvironment(const std::string& name);
    IdaLoggingEnvironment(const std::string& name, platform::Runtime& runtime);

    void logMessage(const char* functionName, const std::string& message) override;
    // While the runtime's debug log is open at the debug level.
    bool logEnabled() const override;
    // Records a table description text; createDescriptionInput then yields it.
    void putDescriptionString(const std::string& text);
    std::shared_ptr<IdaInput> createDescriptionInput() override;

private:
    std::mutex m_descriptionMutex;
    bool m_hasDescription = false;
    std::string m_description;
};
