#include "platform/catalog/InstallConfig.h"

#include "platform/store/FileSystem.h"
#include "platform/util/Text.h"

namespace platform {
namespace config {

Status InstallConfig::load(const std::string& path) {
    store::FileSystem& fs = store::posixFileSystem();
    if (!fs.exists(path)) return Status(Status::Code::NotFound, "the configuration file " + path + " does not exist");
    std::string contents, error;
    if (!fs.readFile(path, contents, error))
        return Status(Status::Code::Failed, "cannot read the configuration file " + path + ": " + error);

    std::vector<Line> lines;
    std::string section;
    size_t start = 0, number = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        Line line;
        line.raw = contents.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.raw.empty() && line.raw.back() == '\r') line.raw.pop_back();

        std::string trimmed = text::trim(line.raw);
        size_t equals = trimmed.find('=');
        if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') {
            // a blank or a comment
        } else if (trimmed[0] == '[' && trimmed.back() == ']' && !text::trim(trimmed.substr(1, trimmed.size() - 2)).empty()) {
            section = text::trim(trimmed.substr(1, trimmed.size() - 2));
            line.header = true;
        } else if (equals != std::string::npos && equals > 0) {
            line.name = text::trim(trimmed.substr(0, equals));
            line.value = text::trim(trimmed.substr(equals + 1));
        } else {
            return Status(Status::Code::BadUsage, "line " + std::to_string(number) + " of the configuration file " +
                                                      path + " is neither [Section], Name = value nor a # comment: " +
                                                      line.raw);
        }
        line.section = section;
        lines.push_back(std::move(line));
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = path;
    m_lines = std::move(lines);
    return Status();
}

std::string InstallConfig::path() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

bool InstallConfig::get(const std::string& section, const std::string& name, std::string& value) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto line = m_lines.rbegin(); line != m_lines.rend(); ++line) {
        if (!line->header && !line->name.empty() && text::equalsIgnoreCase(line->section, section) &&
            text::equalsIgnoreCase(line->name, name)) {
            value = line->value;
            return true;
        }
    }
    return false;
}

Status InstallConfig::set(const std::string& section, const std::string& name, const std::string& value) {
    std::string cleanSection = text::trim(section), cleanName = text::trim(name), cleanValue = text::trim(value);
    auto breaks = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
    if (cleanSection.empty() || cleanName.empty() || breaks(section) || breaks(name) || breaks(value) ||
        cleanSection.find(']') != std::string::npos || cleanName.find('=') != std::string::npos ||
        cleanName[0] == '#' || cleanName[0] == ';' || cleanName[0] == '[')
        return Status(Status::Code::BadUsage, "cannot set [" + section + "] " + name +
                                                  " in the configuration: the section or name is empty or holds "
                                                  "a line break, \"]\" or \"=\"");

    std::lock_guard<std::mutex> lock(m_mutex);
    size_t insertAt = m_lines.size();
    bool sectionFound = false;
    for (size_t i = m_lines.size(); i-- > 0;) {
        Line& line = m_lines[i];
        if (!text::equalsIgnoreCase(line.section, cleanSection)) continue;
        if (!line.header && !line.name.empty() && text::equalsIgnoreCase(line.name, cleanName)) {
            line.value = cleanValue;
            line.raw = line.name + " = " + cleanValue;
            return Status();
        }
        if (!sectionFound && (line.header || !line.name.empty())) {
            sectionFound = true;
            insertAt = i + 1;
        }
    }
    Line entry;
    entry.section = cleanSection;
    entry.name = cleanName;
    entry.value = cleanValue;
    entry.raw = cleanName + " = " + cleanValue;
    if (!sectionFound) {
        if (!m_lines.empty() && !text::trim(m_lines.back().raw).empty()) {
            Line blank;
            blank.section = m_lines.back().section;
            m_lines.push_back(std::move(blank));
        }
        Line header;
        header.raw = "[" + cleanSection + "]";
        header.section = cleanSection;
        header.header = true;
        m_lines.push_back(std::move(header));
        m_lines.push_back(std::move(entry));
    } else {
        m_lines.insert(m_lines.begin() + static_cast<long>(insertAt), std::move(entry));
    }
    return Status();
}

std::string InstallConfig::text() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const Line& line : m_lines) out += line.raw + "\n";
    return out;
}

Status InstallConfig::save(const std::string& path) {
    std::string contents = text();
    std::string error;
    if (!store::writeFileDurably(store::posixFileSystem(), path, contents, error))
        return Status(Status::Code::Failed, "cannot save the configuration file " + path + ": " + error);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = path;
    return Status();
}

}  // namespace config
}  // namespace platform
