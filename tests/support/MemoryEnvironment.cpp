#include "MemoryEnvironment.h"

namespace testing_support {

std::string OutputRecord::data() const {
    std::string all;
    for (const auto& p : puts) all += p;
    return all;
}

class MemoryOutput : public IdaOutput {
public:
    MemoryOutput(MemoryEnvironment* env, std::shared_ptr<OutputRecord> record)
        : IdaOutput(record->name, env), m_env(env), m_record(std::move(record)) {}

    bool putString(const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_env->m_mutex);
        ++m_env->m_putCount;
        if (m_env->m_refusePut == m_env->m_putCount) return false;
        m_record->puts.push_back(text);
        return true;
    }
    void updateRestart(const std::string& restart) override {
        std::lock_guard<std::mutex> lock(m_env->m_mutex);
        m_record->restarts.push_back(restart);
    }
    bool flush() override { return true; }
    bool close(const std::string& restart) override {
        std::lock_guard<std::mutex> lock(m_env->m_mutex);
        if (m_env->m_refuseClose) return false;
        m_record->closed = true;
        m_record->closeRestart = restart;
        return true;
    }
    bool stopNow() override {
        std::lock_guard<std::mutex> lock(m_env->m_mutex);
        return m_env->m_stopAfterPuts > 0 && m_env->m_putCount >= m_env->m_stopAfterPuts;
    }

private:
    MemoryEnvironment* m_env;
    std::shared_ptr<OutputRecord> m_record;
};

namespace {

class MemoryInput : public IdaInput {
public:
    MemoryInput(std::string text, bool failsAtEnd) : m_text(std::move(text)), m_failsAtEnd(failsAtEnd) {}
    bool error() override { return m_failsAtEnd && m_position >= m_text.size(); }
    bool getLine(std::string& line) override {
        if (m_position >= m_text.size()) return false;
        size_t end = m_text.find('\n', m_position);
        if (end == std::string::npos) end = m_text.size();
        line.assign(m_text, m_position, end - m_position);
        m_position = end + 1;
        return true;
    }
    void close() override {}
    bool getContents(std::string& contents) override {
        if (m_failsAtEnd) return false;
        contents = m_text;
        return true;
    }

private:
    std::string m_text;
    bool m_failsAtEnd;
    size_t m_position = 0;
};

}  // namespace

MemoryEnvironment::MemoryEnvironment(const std::string& name) : IdaEnvironment(name) {}

void MemoryEnvironment::logMessage(const char* functionName, const std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.push_back({functionName ? functionName : "", message});
}

std::shared_ptr<IdaOutput> MemoryEnvironment::createOutput(const std::string& name, bool) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_createdOutputs.push_back(name);
    auto record = std::make_shared<OutputRecord>();
    record->name = name;
    m_outputs[name] = record;
    return std::make_shared<MemoryOutput>(this, record);
}

std::shared_ptr<IdaOutput> MemoryEnvironment::createDescriptionOutput() {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto record = std::make_shared<OutputRecord>();
    record->name = "description.json";
    m_outputs[record->name] = record;
    return std::make_shared<MemoryOutput>(this, record);
}

std::shared_ptr<IdaInput> MemoryEnvironment::createInput(const std::string& name, bool) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openedInputs.push_back(name);
    auto found = m_inputs.find(name);
    if (found == m_inputs.end()) return std::make_shared<MemoryInput>("", true);
    return std::make_shared<MemoryInput>(found->second.first, found->second.second);
}

std::shared_ptr<IdaInput> MemoryEnvironment::createMetadataInput() {
    return std::make_shared<MemoryInput>(m_metadata, !m_hasMetadata);
}

std::shared_ptr<IdaInput> MemoryEnvironment::createDescriptionInput() {
    return std::make_shared<MemoryInput>(m_description, !m_hasDescription);
}

void MemoryEnvironment::reportFailure(const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failures.push_back(message);
    }
    IdaEnvironment::reportFailure(message);
}

void MemoryEnvironment::setInput(const std::string& name, const std::string& text, bool failsAtEnd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs[name] = {text, failsAtEnd};
}

std::vector<LogLine> MemoryEnvironment::logLines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

bool MemoryEnvironment::logged(const std::string& message) const { return countLogged(message) > 0; }

size_t MemoryEnvironment::countLogged(const std::string& message) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const auto& line : m_log) n += line.message == message;
    return n;
}

std::vector<std::string> MemoryEnvironment::failures() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failures;
}

std::vector<std::string> MemoryEnvironment::createdOutputs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_createdOutputs;
}

OutputRecord MemoryEnvironment::output(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_outputs.find(name);
    return found == m_outputs.end() ? OutputRecord{} : *found->second;
}

std::vector<std::string> MemoryEnvironment::openedInputs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openedInputs;
}

}  // namespace testing_support
