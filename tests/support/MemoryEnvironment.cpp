#include "MemoryEnvironment.h"

#include <algorithm>

namespace testing_support {

class MemoryOutput : public IdaOutput {
public:
    MemoryOutput(MemoryEnvironment* env, std::shared_ptr<OutputRecord> record)
        : IdaOutput(record->name, env), m_env(env), m_record(std::move(record)) {}

    bool putString(const std::string& text) override {
        std::lock_guard<std::mutex> l(m_env->m_mutex);
        if (m_env->m_refusePut == ++m_env->m_putCount) return false;
        m_record->puts.push_back(text);
        return true;
    }
    void updateRestart(const std::string& restart) override {
        std::lock_guard<std::mutex> l(m_env->m_mutex);
        m_record->restarts.push_back(restart);
    }
    bool flush() override { return true; }
    bool close(const std::string& restart) override {
        std::lock_guard<std::mutex> l(m_env->m_mutex);
        if (m_env->m_refuseClose) return false;
        m_record->closed = true;
        m_record->closeRestart = restart;
        return true;
    }
    bool stopNow() override {
        std::lock_guard<std::mutex> l(m_env->m_mutex);
        return m_env->m_stopAfterPuts > 0 && m_env->m_putCount >= m_env->m_stopAfterPuts;
    }

private:
    MemoryEnvironment* m_env;
    std::shared_ptr<OutputRecord> m_record;
};

namespace {

// Serves `text` line by line; with `failsAtEnd`, reports an error once it is used up.
class MemoryInput : public IdaInput {
public:
    MemoryInput(std::string text, bool failsAtEnd) : m_text(std::move(text)), m_failsAtEnd(failsAtEnd) {}
    bool error() override { return m_failsAtEnd && m_position >= m_text.size(); }
    bool getLine(std::string& line) override {
        if (m_position >= m_text.size()) return false;
        size_t end = std::min(m_text.find('\n', m_position), m_text.size());
        line.assign(m_text, m_position, end - m_position);
        m_position = end + 1;
        return true;
    }
    void close() override {}
    bool getContents(std::string& contents) override {
        if (!m_failsAtEnd) contents = m_text;
        return !m_failsAtEnd;
    }

private:
    std::string m_text;
    bool m_failsAtEnd;
    size_t m_position = 0;
};

}  // namespace

std::shared_ptr<IdaOutput> MemoryEnvironment::makeOutput(const std::string& name) {
    std::lock_guard<std::mutex> l(m_mutex);
    auto& record = m_outputs[name] = std::make_shared<OutputRecord>();
    record->name = name;
    return std::make_shared<MemoryOutput>(this, record);
}

std::shared_ptr<IdaInput> MemoryEnvironment::createInput(const std::string& name, bool) {
    std::lock_guard<std::mutex> l(m_mutex);
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

}  // namespace testing_support
