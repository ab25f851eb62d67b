#pragma once
// The controller's subcommands. Each lives in its own file and registers itself with
// AZTABLE_COMMAND, so adding one never touches main.cpp.
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace aztable {

struct CommandInfo {
    std::string summary;
    std::function<int(const std::vector<std::string>& args)> run;  // args exclude the command name
};

std::map<std::string, CommandInfo>& commands();

struct CommandRegistrar {
    CommandRegistrar(const std::string& name, const std::string& summary,
                     std::function<int(const std::vector<std::string>&)> run) {
        commands()[name] = CommandInfo{summary, std::move(run)};
    }
};

}  // namespace aztable

#define AZTABLE_CONCAT2(a, b) a##b
#define AZTABLE_CONCAT(a, b) AZTABLE_CONCAT2(a, b)
#define AZTABLE_COMMAND(name, summary, fn) \
    static ::aztable::CommandRegistrar AZTABLE_CONCAT(azt_command_, __LINE__)(name, summary, fn)
