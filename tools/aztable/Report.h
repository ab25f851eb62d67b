#pragma once
// What a command tells its caller at the end: human lines, or with --json one JSON object on
// stdout (written with rapidjson), and the exit status. Every object has "command" and "ok"
// (true exactly when the exit status is 0); a failure adds "error": {"code", "message"}, the
// code being platform::Status::codeName. Errors and warnings always go to stderr as well.
// One thread; one report per command run.
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "platform/util/Status.h"

namespace aztable {

// 0 for Ok, 3 for Stopped, 2 for BadUsage, 1 for everything else.
int exitStatus(const platform::Status& status);

class Report {
public:
    Report(const std::string& command, bool json);

    bool json() const { return m_json; }
    rapidjson::Document::AllocatorType& allocator() { return m_document.GetAllocator(); }

    // Sets member `name` (replacing an earlier value).
    Report& set(const char* name, rapidjson::Value value);
    Report& set(const char* name, const std::string& value);
    Report& set(const char* name, const char* value) { return set(name, std::string(value)); }
    Report& set(const char* name, bool value) { return set(name, rapidjson::Value(value)); }
    Report& set(const char* name, int value) { return set(name, rapidjson::Value(value)); }
    Report& set(const char* name, long long value) { return set(name, rapidjson::Value(static_cast<int64_t>(value))); }
    Report& set(const char* name, unsigned long long value) {
        return set(name, rapidjson::Value(static_cast<uint64_t>(value)));
    }
    Report& set(const char* name, unsigned long value) { return set(name, static_cast<unsigned long long>(value)); }
    Report& set(const char* name, double value);
    Report& set(const char* name, const std::vector<std::string>& values);
    rapidjson::Value string(const std::string& text) { return rapidjson::Value(text, allocator()); }

    // Human output on stdout; left out with --json (stdout then holds the object alone).
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A failure: "aztable COMMAND: <message>" and each of `more` on stderr, then with --json the
    // object with ok=false and the error. Returns the exit status (exitStatus unless given).
    int fail(const platform::Status& status, const std::vector<std::string>& more = {}, int exit = -1);
    // The end of a run that did not fail: with --json prints the object, ok as `exit` == 0.
    int finish(int exit = 0);

private:
    void print(bool ok);

    std::string m_command;
    bool m_json;
    rapidjson::Document m_document;
};

}  // namespace aztable
