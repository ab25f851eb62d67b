#pragma once
// A process's parsed command line as the agent reads it: options written "-name value" (or
// "-name=value"), looked up by name. Owns copies of the texts; read-only after construction, so
// any thread may read it.
#include <map>
#include <string>
#include <vector>

#include "platform/util/Export.h"

class AZT_API CProgramArguments {
public:
    CProgramArguments() = default;
    CProgramArguments(int argc, const char* const* argv);
    explicit CProgramArguments(const std::vector<std::string>& arguments);

    // 0 and the option's value when it was given (the last one wins), non-zero otherwise
    // (`value` unchanged). An option given without a value has the value "".
    int getValue(const std::string& name, std::string& value) const;
    void setValue(const std::string& name, const std::string& value) { m_options[name] = value; }

private:
    std::map<std::string, std::string> m_options;
};
