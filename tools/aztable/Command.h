#pragma once
// The controller's subcommands. Each lives in its own file and registers itself with
// AZTABLE_COMMAND, so adding one never touches main.cpp. A command's definition adds its options
// to the CLI11 subcommand it is given (the shared ones with addConnectionOptions and addJsonOption)
// and returns what runs once the command line parsed: one library operation, then printing.
// Exit status: 0 success, 1 the operation failed, 2 bad usage, 3 stopped on request.
#include <functional>
#include <map>
#include <string>

#include <CLI/CLI.hpp>

namespace aztable {

using CommandRun = std::function<int()>;

struct CommandInfo {
    std::string summary;
    std::function<CommandRun(CLI::App& command)> define;
};

std::map<std::string, CommandInfo>& commands();

struct CommandRegistrar {
    CommandRegistrar(const std::string& name, const std::string& summary,
                     std::function<CommandRun(CLI::App&)> define) {
        commands()[name] = CommandInfo{summary, std::move(define)};
    }
};

// Checks an option's value as a table name before anything is sent (3 to 63 letters and
// digits, starting with a letter); a bad name is a usage error that names it.
CLI::Validator tableNameCheck();

// Adds --json (print one JSON object with the result on stdout) bound to `json`.
void addJsonOption(CLI::App& command, bool& json);

}  // namespace aztable

#define AZTABLE_CONCAT2(a, b) a##b
#define AZTABLE_CONCAT(a, b) AZTABLE_CONCAT2(a, b)
#define AZTABLE_COMMAND(name, summary, define) \
    static ::aztable::CommandRegistrar AZTABLE_CONCAT(azt_command_, __LINE__)(name, summary, define)
