#include <sstream>

#include "platform/ida/IdaEnvironment.h"
#include "platform/ida/IdaInput.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/ida/IdaOutput.h"
#include "platform/ida/IdaTextInput.h"
#include "platform/ida/KxCriticalSectionH.h"
#include "platform/log/DebugLog.h"
#include "platform/runtime/Runtime.h"

bool KxCriticalSectionH::enter(bool wait) {
    if (wait) {
        m_mutex.lock();
        return true;
    }
    return m_mutex.try_lock();
}

void KxCriticalSectionH::leave() { m_mutex.unlock(); }

IdaOutput::IdaOutput(const std::string& name, IdaEnvironment* environment)
    : m_name(name), m_environment(environment) {}
IdaOutput::~IdaOutput() = default;
bool IdaOutput::putBytes(const char* data, size_t size) { return putString(std::string(data, size)); }
bool IdaOutput::stopNow() { return m_environment && m_environment->runtime().stopRequested(); }

IdaInput::~IdaInput() = default;

bool IdaInput::getContents(std::string& contents) {
    contents.clear();
    std::string line;
    bool first = true;
    while (getLine(line)) {
        if (!first) contents += '\n';
        contents += line;
        first = false;
    }
    return !error();
}

size_t IdaInput::getLines(std::vector<std::string>& lines, size_t maxLines, size_t maxBytes) {
    size_t count = 0, bytes = 0;
    while (takesMore(count, bytes, maxLines, maxBytes)) {
        if (lines.size() <= count) lines.resize(count + 1);
        if (!getLine(lines[count])) break;
        bytes += lines[count++].size();
    }
    return count;
}

IdaEnvironment::IdaEnvironment(const std::string& name) : m_name(name), m_runtime(&platform::defaultRuntime()) {}
IdaEnvironment::IdaEnvironment(const std::string& name, platform::Runtime& runtime)
    : m_name(name), m_runtime(&runtime) {}
IdaEnvironment::~IdaEnvironment() = default;

void IdaEnvironment::reportFailure(const std::string& message) {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    if (!m_failed) m_failureMessage = message;
    m_failed = true;
}

bool IdaEnvironment::hasFailed() {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    return m_failed;
}

std::string IdaEnvironment::failureMessage() const {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    return m_failureMessage;
}

namespace {

class DroppingOutput : public IdaOutput {
public:
    DroppingOutput(const std::string& name, IdaEnvironment* environment) : IdaOutput(name, environment) {}
    bool putString(const std::string&) override { return true; }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return true; }
};

}  // namespace

IdaPrototypeEnvironmentDropOutputData::IdaPrototypeEnvironmentDropOutputData(const std::string& name)
    : IdaEnvironment(name) {}
IdaPrototypeEnvironmentDropOutputData::IdaPrototypeEnvironmentDropOutputData(const std::string& name,
                                                                             platform::Runtime& runtime)
    : IdaEnvironment(name, runtime) {}

void IdaPrototypeEnvironmentDropOutputData::logMessage(const char*, const std::string&) {}

std::shared_ptr<IdaOutput> IdaPrototypeEnvironmentDropOutputData::createOutput(const std::string& name, bool) {
    return std::make_shared<DroppingOutput>(name, this);
}
std::shared_ptr<IdaOutput> IdaPrototypeEnvironmentDropOutputData::createDescriptionOutput() {
    return std::make_shared<DroppingOutput>("description.json", this);
}
std::shared_ptr<IdaInput> IdaPrototypeEnvironmentDropOutputData::createInput(const std::string&, bool) {
    return nullptr;
}
std::shared_ptr<IdaInput> IdaPrototypeEnvironmentDropOutputData::createMetadataInput() { return nullptr; }
std::shared_ptr<IdaInput> IdaPrototypeEnvironmentDropOutputData::createDescriptionInput() { return nullptr; }

IdaLoggingEnvironment::IdaLoggingEnvironment(const std::string& name)
    : IdaPrototypeEnvironmentDropOutputData(name) {}
IdaLoggingEnvironment::IdaLoggingEnvironment(const std::string& name, platform::Runtime& runtime)
    : IdaPrototypeEnvironmentDropOutputData(name, runtime) {}

void IdaLoggingEnvironment::logMessage(const char* functionName, const std::string& message) {
    runtime().log().writeLine(m_name.empty() ? "-" : m_name, functionName, message);
}

bool IdaLoggingEnvironment::logEnabled() const { return runtime().log().debugEnabled(); }

void IdaLoggingEnvironment::putDescriptionString(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_descriptionMutex);
    m_description = text;
    m_hasDescription = true;
}

std::shared_ptr<IdaInput> IdaLoggingEnvironment::createDescriptionInput() {
    std::lock_guard<std::mutex> lock(m_descriptionMutex);
    if (!m_hasDescription) return nullptr;
    return std::make_shared<IdaTextInput>(m_description);
}

IdaTextInput::IdaTextInput(std::string text, bool readable) : m_text(std::move(text)), m_readable(readable) {}

bool IdaTextInput::error() { return !m_readable; }

bool IdaTextInput::getLine(std::string& line) {
    if (!m_readable || m_position >= m_text.size()) return false;
    size_t end = m_text.find('\n', m_position);
    if (end == std::string::npos) end = m_text.size();
    line.assign(m_text, m_position, end - m_position);
    m_position = end + 1;
    return true;
}

void IdaTextInput::close() {}

bool IdaTextInput::getContents(std::string& contents) {
    if (!m_readable) return false;
    contents = m_text;
    return true;
}
