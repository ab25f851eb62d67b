#include "platform/util/CProgramArguments.h"

CProgramArguments::CProgramArguments(int argc, const char* const* argv)
    : CProgramArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0))) {}

CProgramArguments::CProgramArguments(const std::vector<std::string>& arguments) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word.size() < 2 || word[0] != '-') continue;
        std::string name = word.substr(word[1] == '-' ? 2 : 1);
        size_t equals = name.find('=');
        if (equals != std::string::npos) {
            m_options[name.substr(0, equals)] = name.substr(equals + 1);
        } else if (i + 1 < arguments.size() && (arguments[i + 1].empty() || arguments[i + 1][0] != '-')) {
            m_options[name] = arguments[++i];
        } else {
            m_options[name] = "";
        }
    }
}

int CProgramArguments::getValue(const std::string& name, std::string& value) const {
    auto found = m_options.find(name);
    if (found == m_options.end()) return 1;
    value = found->second;
    return 0;
}
