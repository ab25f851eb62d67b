// aztable: back up and restore Azure tables from the command line. main() builds the command
// line from the registered commands (CLI11), parses it and runs the chosen command.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Command.h"
#include "Explain.h"
#include "Report.h"

#ifndef AZT_VERSION
#define AZT_VERSION "0.4.0"
#endif

namespace aztable {

std::map<std::string, CommandInfo>& commands() {
    static std::map<std::string, CommandInfo> registry;
    return registry;
}

CLI::Validator tableNameCheck() {
    return CLI::Validator([](std::string& name) { return tableNameProblem(name); }, "TABLE", "table name");
}

void addJsonOption(CLI::App& command, bool& json) {
    command.add_flag("--json", json, "print the result as one JSON object on stdout");
}

}  // namespace aztable

namespace {

void usage(FILE* out) {
    std::fprintf(out, "usage: aztable <command> [options]\n\ncommands:\n");
    for (const auto& entry : aztable::commands())
        std::fprintf(out, "  %-16s %s\n", entry.first.c_str(), entry.second.summary.c_str());
    std::fprintf(out, "\nRun 'aztable help <command>' or 'aztable <command> --help' for a command's options;\n"
                      "'aztable --version' for the version.\n");
}

// A usage error: said on stderr and, when the command line asked for --json, as a JSON object.
int usageError(const std::string& command, const std::string& message, const std::vector<std::string>& args) {
    bool json = false;
    for (const auto& arg : args) json = json || arg == "--json";
    aztable::Report report(command, json);
    std::string hint = command.empty() ? "Run 'aztable help' for the commands."
                                       : "Run 'aztable " + command + " --help' for its options.";
    return report.fail(platform::Status(platform::Status::Code::BadUsage, message), {hint}, 2);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("aztable: back up and restore Azure tables", "aztable");
    app.require_subcommand(0, 1);
    bool version = false;
    app.add_flag("--version", version, "print the version");

    std::map<std::string, aztable::CommandRun> runs;
    std::map<std::string, CLI::App*> subcommands;
    for (auto& entry : aztable::commands()) {
        CLI::App* command = app.add_subcommand(entry.first, entry.second.summary);
        // Unknown options are collected and reported by name (below), not by CLI11's wording.
        command->allow_extras();
        runs[entry.first] = entry.second.define(*command);
        subcommands[entry.first] = command;
    }
    CLI::App* help = app.add_subcommand("help", "show the options of a command");
    std::string helpTopic;
    help->add_option("command", helpTopic, "the command");

    std::vector<std::string> args(argv + 1, argv + argc);
    std::string name;  // the command on the command line, for messages
    for (const auto& arg : args)
        if (subcommands.count(arg) || arg == "help") {
            name = arg;
            break;
        }
    if (args.empty()) {
        usage(stderr);
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        if (name.empty() && !args.empty() && args[0].compare(0, 1, "-") != 0)
            return usageError("", "unknown command '" + args[0] + "'", args);
        return usageError(name == "help" ? "" : name, e.what(), args);
    }
    if (version) {
        std::printf("aztable %s\n", AZT_VERSION);
        return 0;
    }
    if (help->parsed()) {
        if (helpTopic.empty()) {
            usage(stdout);
            return 0;
        }
        auto found = subcommands.find(helpTopic);
        if (found == subcommands.end()) return usageError("", "unknown command '" + helpTopic + "'", args);
        std::fputs(found->second->help("aztable").c_str(), stdout);
        return 0;
    }
    for (auto& entry : subcommands) {
        if (!entry.second->parsed()) continue;
        std::vector<std::string> extra = entry.second->remaining();
        if (!extra.empty()) {
            const std::string& first = extra.front();
            if (first.compare(0, 1, "-") == 0 && first.size() > 1)
                return usageError(entry.first, "unknown option '" + first.substr(0, first.find('=')) + "'", args);
            return usageError(entry.first, "unexpected argument '" + first + "'", args);
        }
        return runs[entry.first]();
    }
    usage(stderr);
    return 2;
}
