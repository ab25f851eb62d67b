#pragma once
// The installation's configuration file (aztable.conf in the home folder), ini style:
//
//   # a comment
//   [QuorvServe]
//   ClientName = host1
//   JobResultsDirectory = /home/me/.aztable/jobresults
//   [AzureTableStorage]
//   ...
//
// Section and value names match without regard to ASCII case; values are the text after the
// first "=", without surrounding blanks ("#" inside a value is part of it: only a line that starts
// with "#" or ";" is a comment). A name given twice in a section reads as its last value.
//
// Ownership: the object holds the file's lines; load() reads them, set() changes them in memory,
// save() replaces the file. Comments, blank lines and the order of the lines survive a save.
//
// Threads: every member may be called from any thread (a lock guards the lines); a runtime hands
// one object to all its users.
//
// Failure: load() leaves the object as it was when the file cannot be read or holds a line that
// is neither a section, a value nor a comment (the message names the line). save() writes a temp
// file (mode 0600 from its creation), syncs it and renames it over the file, so after a crash
// the file holds the old or the new text, never a mix; a failed save leaves the file as it was.
#include <mutex>
#include <string>
#include <vector>

#include "platform/util/Export.h"
#include "platform/util/Status.h"

namespace platform {
namespace config {

constexpr const char* kAgentSection = "AzureTableStorage";
constexpr const char* kServerSection = "QuorvServe";
constexpr const char* kConfigFileName = "aztable.conf";

class AZT_API InstallConfig {
public:
    InstallConfig() = default;
    InstallConfig(const InstallConfig&) = delete;
    InstallConfig& operator=(const InstallConfig&) = delete;

    // Reads `path` (NotFound when it does not exist, BadUsage for a malformed line).
    Status load(const std::string& path);
    // The file last loaded or saved ("" before).
    std::string path() const;

    // True, with `value` set, when the section holds the name.
    bool get(const std::string& section, const std::string& name, std::string& value) const;
    // Sets the value (added at the end of its section, the section at the end of the file when
    // new). BadUsage for an empty section or name, a line break anywhere, a "]" in the section or
    // a "=" in the name: they would not read back the same.
    Status set(const std::string& section, const std::string& name, const std::string& value);

    // The text the file would hold.
    std::string text() const;
    // Replaces `path` with text(), durably.
    Status save(const std::string& path);

private:
    struct Line {
        std::string raw;      // the line as written (without its line feed)
        std::string section;  // the section it belongs to, or the section it opens
        std::string name;     // a value's name; empty for comments, blanks and section headers
        std::string value;
        bool header = false;
    };

    mutable std::mutex m_mutex;
    std::string m_path;
    std::vector<Line> m_lines;
};

}  // namespace config
}  // namespace platform
