#pragma once
// An in-memory job environment for tests: records log lines, failures and everything written
// to its outputs, and serves scripted inputs. Outputs can be told to refuse the Nth putString.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ida/IdaEnvironment.h"

namespace testing_support {

struct LogLine {
    std::string function;
    std::string message;
};

// What one output received.
struct OutputRecord {
    std::string name;
    std::vector<std::string> puts;      // every putString text, in order
    std::vector<std::string> restarts;  // every updateRestart, in order
    bool closed = false;
    std::string closeRestart;
    std::string data() const;           // all puts joined
};

class MemoryOutput;

class MemoryEnvironment : public IdaEnvironment {
public:
    explicit MemoryEnvironment(const std::string& name = "memory");

    void logMessage(const char* functionName, const std::string& message) override;
    std::shared_ptr<IdaOutput> createOutput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaOutput> createDescriptionOutput() override;
    std::shared_ptr<IdaInput> createInput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaInput> createMetadataInput() override;
    std::shared_ptr<IdaInput> createDescriptionInput() override;
    void reportFailure(const std::string& message) override;

    // Scripting.
    void setInput(const std::string& name, const std::string& text, bool failsAtEnd = false);
    void setDescription(const std::string& text) { m_description = text; m_hasDescription = true; }
    void setMetadata(const std::string& text) { m_metadata = text; m_hasMetadata = true; }
    void refusePutNumber(int n) { m_refusePut = n; }      // the Nth putString (1-based) returns false
    void refuseClose(bool refuse) { m_refuseClose = refuse; }
    void stopAfterPuts(int n) { m_stopAfterPuts = n; }   // stopNow() true once n puts were taken

    // Inspection.
    std::vector<LogLine> logLines() const;
    bool logged(const std::string& message) const;      // an exact message was logged
    size_t countLogged(const std::string& message) const;
    std::vector<std::string> failures() const;
    std::vector<std::string> createdOutputs() const;
    OutputRecord output(const std::string& name) const; // "description.json" for the description
    std::vector<std::string> openedInputs() const;

private:
    friend class MemoryOutput;
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_log;
    std::vector<std::string> m_failures;
    std::vector<std::string> m_createdOutputs;
    std::map<std::string, std::shared_ptr<OutputRecord>> m_outputs;
    std::map<std::string, std::pair<std::string, bool>> m_inputs;
    std::vector<std::string> m_openedInputs;
    std::string m_description, m_metadata;
    bool m_hasDescription = false, m_hasMetadata = false;
    int m_refusePut = 0, m_putCount = 0, m_stopAfterPuts = 0;
    bool m_refuseClose = false;
};

}  // namespace testing_support
