#pragma once
// An in-memory job environment for tests: records log lines, failures and everything written
// to its outputs, and serves scripted inputs. Outputs can be told to refuse the Nth putString.
// Any thread may use it (as a job's workers do); inspection returns copies.
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ida/IdaEnvironment.h"

namespace testing_support {

struct LogLine { std::string function, message; };

// What one output received.
struct OutputRecord {
    std::string name;
    std::vector<std::string> puts;      // every putString text, in order
    std::vector<std::string> restarts;  // every updateRestart, in order
    bool closed = false;
    std::string closeRestart;
    std::string data() const { std::string all; for (const auto& p : puts) all += p; return all; }  // all puts joined
};

class MemoryEnvironment : public IdaEnvironment {
public:
    explicit MemoryEnvironment(const std::string& name = "memory") : IdaEnvironment(name) {}

    void logMessage(const char* functionName, const std::string& message) override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_log.push_back({functionName ? functionName : "", message});
    }
    std::shared_ptr<IdaOutput> createOutput(const std::string& name, bool) override {
        { std::lock_guard<std::mutex> l(m_mutex); m_createdOutputs.push_back(name); }
        return makeOutput(name);
    }
    std::shared_ptr<IdaOutput> createDescriptionOutput() override { return makeOutput("description.json"); }
    std::shared_ptr<IdaInput> createInput(const std::string& name, bool) override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_openedInputs.push_back(name);
        auto found = m_inputs.find(name);
        if (found == m_inputs.end()) return std::make_shared<Input>("", true, &m_linesRead);
        return std::make_shared<Input>(found->second.first, found->second.second, &m_linesRead);
    }
    std::shared_ptr<IdaInput> createMetadataInput() override { return std::make_shared<Input>(m_metadata, !m_hasMetadata); }
    std::shared_ptr<IdaInput> createDescriptionInput() override {
        return std::make_shared<Input>(m_description, !m_hasDescription);
    }
    void reportFailure(const std::string& message) override {
        { std::lock_guard<std::mutex> l(m_mutex); m_failures.push_back(message); }
        IdaEnvironment::reportFailure(message);
    }

    // Scripting. An input that was not set is empty and fails at its end.
    void setInput(const std::string& name, const std::string& text, bool failsAtEnd = false) {
        std::lock_guard<std::mutex> l(m_mutex);
        m_inputs[name] = {text, failsAtEnd};
    }
    void setDescription(const std::string& text) { m_description = text; m_hasDescription = true; }
    void setMetadata(const std::string& text) { m_metadata = text; m_hasMetadata = true; }
    void refusePutNumber(int n) { m_refusePut = n; }      // the Nth putString (1-based) returns false
    void refuseClose(bool refuse) { m_refuseClose = refuse; }

    // Inspection.
    std::vector<LogLine> logLines() const { std::lock_guard<std::mutex> l(m_mutex); return m_log; }
    bool logged(const std::string& message) const { return countLogged(message) > 0; }  // an exact message
    std::vector<std::string> messagesOf(const std::string& function) const {  // in order
        std::vector<std::string> out;
        for (const auto& line : logLines())
            if (line.function == function) out.push_back(line.message);
        return out;
    }
    size_t countLogged(const std::string& message) const {
        std::lock_guard<std::mutex> l(m_mutex);
        return std::count_if(m_log.begin(), m_log.end(), [&](const LogLine& line) { return line.message == message; });
    }
    std::vector<std::string> failures() const { std::lock_guard<std::mutex> l(m_mutex); return m_failures; }
    // Outputs made by createOutput, in order (the description output is not one of them).
    std::vector<std::string> createdOutputs() const { std::lock_guard<std::mutex> l(m_mutex); return m_createdOutputs; }
    OutputRecord output(const std::string& name) const {  // "description.json" for the description
        std::lock_guard<std::mutex> l(m_mutex);
        auto found = m_outputs.find(name);
        return found == m_outputs.end() ? OutputRecord{} : *found->second;
    }
    std::vector<std::string> openedInputs() const { std::lock_guard<std::mutex> l(m_mutex); return m_openedInputs; }
    // Lines handed out by getLine of this environment's inputs so far (any thread).
    size_t linesRead() const { return m_linesRead.load(); }

private:
    class Output : public IdaOutput {
    public:
        Output(MemoryEnvironment* env, std::shared_ptr<OutputRecord> record)
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
        bool stopNow() override { return false; }

    private:
        MemoryEnvironment* m_env;
        std::shared_ptr<OutputRecord> m_record;
    };

    // Serves `text` line by line; with `failsAtEnd`, reports an error once it is used up.
    class Input : public IdaInput {
    public:
        Input(std::string text, bool failsAtEnd, std::atomic<size_t>* linesRead = nullptr)
            : m_text(std::move(text)), m_failsAtEnd(failsAtEnd), m_linesRead(linesRead) {}
        bool error() override { return m_failsAtEnd && m_position >= m_text.size(); }
        bool getLine(std::string& line) override {
            if (m_position >= m_text.size()) return false;
            size_t end = std::min(m_text.find('\n', m_position), m_text.size());
            line.assign(m_text, m_position, end - m_position);
            m_position = end + 1;
            if (m_linesRead) ++*m_linesRead;
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
        std::atomic<size_t>* m_linesRead;
        size_t m_position = 0;
    };

    std::shared_ptr<IdaOutput> makeOutput(const std::string& name) {
        std::lock_guard<std::mutex> l(m_mutex);
        auto& record = m_outputs[name] = std::make_shared<OutputRecord>();
        record->name = name;
        return std::make_shared<Output>(this, record);
    }

    mutable std::mutex m_mutex;
    std::vector<LogLine> m_log;
    std::vector<std::string> m_failures, m_createdOutputs, m_openedInputs;
    std::map<std::string, std::shared_ptr<OutputRecord>> m_outputs;
    std::map<std::string, std::pair<std::string, bool>> m_inputs;
    std::string m_description, m_metadata;
    bool m_hasDescription = false, m_hasMetadata = false;
    int m_refusePut = 0, m_putCount = 0;
    std::atomic<size_t> m_linesRead{0};
    bool m_refuseClose = false;
};

}  // namespace testing_support
