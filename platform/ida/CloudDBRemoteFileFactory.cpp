#include "platform/ida/CloudDBRemoteFileFactory.h"

#include <cstdlib>

CloudDBRemoteFileFactory::~CloudDBRemoteFileFactory() = default;

namespace {

// One "<length>:<bytes>" field at `at`; false when the text does not hold one there.
bool readField(const std::string& text, size_t& at, std::string& field) {
    size_t colon = text.find(':', at);
    if (colon == std::string::npos || colon == at || colon - at > 12) return false;
    const std::string digits = text.substr(at, colon - at);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long long length = std::strtoull(digits.c_str(), nullptr, 10);
    if (length > text.size() - colon - 1) return false;
    field = text.substr(colon + 1, static_cast<size_t>(length));
    at = colon + 1 + static_cast<size_t>(length);
    return true;
}

}  // namespace

CExtendedOptions::CExtendedOptions(const std::string& text) {
    size_t at = 0;
    std::string name, value;
    while (at < text.size() && readField(text, at, name) && readField(text, at, value)) m_options[name] = value;
}

std::string CExtendedOptions::getOption(const std::string& name) const {
    auto found = m_options.find(name);
    return found == m_options.end() ? std::string() : found->second;
}

std::string CExtendedOptions::toString() const {
    std::string text;
    for (const auto& option : m_options)
        text += std::to_string(option.first.size()) + ":" + option.first + std::to_string(option.second.size()) + ":" +
                option.second;
    return text;
}
