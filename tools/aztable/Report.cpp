#include "Report.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace aztable {

int exitStatus(const platform::Status& status) {
    using Code = platform::Status::Code;
    switch (status.code) {
        case Code::Ok: return 0;
        case Code::Stopped: return 3;
        case Code::BadUsage: return 2;
        default: return 1;
    }
}

Report::Report(const std::string& command, bool json) : m_command(command), m_json(json) {
    m_document.SetObject();
    set("command", command.empty() ? "aztable" : command);
}

Report& Report::set(const char* name, rapidjson::Value value) {
    m_document.RemoveMember(name);
    m_document.AddMember(rapidjson::Value(name, allocator()), value, allocator());
    return *this;
}

Report& Report::set(const char* name, const std::string& value) { return set(name, string(value)); }

Report& Report::set(const char* name, double value) {
    // Seconds and rates, to the millisecond; JSON has no NaN.
    if (!std::isfinite(value)) value = 0;
    return set(name, rapidjson::Value(std::round(value * 1000) / 1000));
}

Report& Report::set(const char* name, const std::vector<std::string>& values) {
    rapidjson::Value list(rapidjson::kArrayType);
    for (const auto& v : values) list.PushBack(string(v), allocator());
    return set(name, std::move(list));
}

void Report::say(const char* format, ...) {
    if (m_json) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

int Report::fail(const platform::Status& status, const std::vector<std::string>& more, int exit) {
    std::fprintf(stderr, "aztable%s%s: %s\n", m_command.empty() ? "" : " ", m_command.c_str(), status.message.c_str());
    for (const auto& line : more) std::fprintf(stderr, "%s\n", line.c_str());
    if (exit < 0) exit = exitStatus(status);
    if (m_json) {
        rapidjson::Value error(rapidjson::kObjectType);
        error.AddMember("code", rapidjson::StringRef(status.codeName()), allocator());
        error.AddMember("message", string(status.message), allocator());
        set("error", std::move(error));
        print(false);
    }
    return exit;
}

int Report::finish(int exit) {
    if (m_json) print(exit == 0);
    return exit;
}

void Report::print(bool ok) {
    set("ok", ok);
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    m_document.Accept(writer);
    std::fprintf(stdout, "%s\n", text.GetString());
    std::fflush(stdout);
}

}  // namespace aztable
