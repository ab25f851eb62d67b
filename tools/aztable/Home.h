#pragma once
// The agent's home folder on the command line: --home DIR, else $AZTABLE_HOME, else ~/.aztable.
// Commands that work on the catalog open it on the default runtime, and log there
// (<home>/log/aztable.log) unless --debug-log names another file.
#include <string>

#include <CLI/CLI.hpp>

#include "platform/util/Status.h"

namespace aztable {

struct HomeOptions {
    std::string home;
    std::string debugLogFile;
};

// Adds --home and --debug-log to a command, bound to `options`.
void addHomeOptions(CLI::App& command, HomeOptions& options);
// The folder the options name (absolute).
std::string homeFolder(const HomeOptions& options);
// Opens the home on the default runtime and its log; NotFound naming `aztable init` when there
// is none.
platform::Status openHome(const HomeOptions& options);

}  // namespace aztable
