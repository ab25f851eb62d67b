#include "platform/log/LogWriter.h"

#include "platform/log/EvDebug.h"
#include "platform/runtime/Runtime.h"

#include <cstdarg>
#include <cstdio>

namespace platform {
namespace log {

namespace {

std::string formatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return std::string();
    std::string text(static_cast<size_t>(needed), '\0');
    std::vsnprintf(&text[0], text.size() + 1, format, args);
    return text;
}

}  // namespace

LogWriter::LogWriter(Runtime& runtime) : m_log(&runtime.log()) {}

const char* levelTag(int level) {
    if (level < 0) return "ERROR";
    if (level == 0) return "INFO";
    if (level <= 2) return "DETAIL";
    return "DEBUG";
}

void LogWriter::write(int level, const char* signature, int line, const char* format, ...) {
    if (!wants(level)) return;
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    std::string where = std::string(signature ? signature : "-") + ":" + std::to_string(line);
    m_log->writeLine(levelTag(level), where.c_str(), text);
}

}  // namespace log
}  // namespace platform

platform::log::LogWriter* ProcessLogWriter::operator->() const {
    static platform::log::LogWriter writer(platform::defaultRuntime());
    return &writer;
}

const ProcessLogWriter g_ptrLogWriter{};

EvDebug::EvDebug() : m_runtime(&platform::defaultRuntime()) {}
EvDebug::EvDebug(platform::Runtime& runtime) : m_runtime(&runtime) {}

namespace {

void writeTagged(platform::Runtime& runtime, int level, const char* functionName, const char* format, va_list args) {
    platform::log::LogWriter writer(runtime);
    if (!writer.wants(level)) return;
    runtime.log().writeLine(platform::log::levelTag(level), functionName,
                            platform::log::formatted(format, args));
}

}  // namespace

void EvDebug::Debug(const char* functionName, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeTagged(*m_runtime, platform::log::LogWriter::Debug, functionName, format, args);
    va_end(args);
}

void EvDebug::Error(const char* functionName, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeTagged(*m_runtime, platform::log::LogWriter::Error, functionName, format, args);
    va_end(args);
}
