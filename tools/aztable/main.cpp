// aztable: back up and restore Azure tables from the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"

namespace aztable {

std::map<std::string, CommandInfo>& commands() {
    static std::map<std::string, CommandInfo> registry;
    return registry;
}

}  // namespace aztable

static void usage(FILE* out) {
    std::fprintf(out, "usage: aztable <command> [options]\n\ncommands:\n");
    for (const auto& entry : aztable::commands())
        std::fprintf(out, "  %-16s %s\n", entry.first.c_str(), entry.second.summary.c_str());
    std::fprintf(out, "\nRun 'aztable <command> --help' for a command's options.\n");
}

#ifndef AZT_VERSION
#error "AZT_VERSION (the project version) is set by the build"
#endif

// "aztable --version": the version the build was configured with.
static bool printVersion(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) != "--version") return false;
    std::printf("aztable %s\n", AZT_VERSION);
    return true;
}

int main(int argc, char** argv) {
    if (printVersion(argc, argv)) return 0;
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        usage(stdout);
        return 0;
    }
    auto found = aztable::commands().find(name);
    if (found == aztable::commands().end()) {
        std::fprintf(stderr, "aztable: unknown command '%s'\n\n", name.c_str());
        usage(stderr);
        return 2;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    return found->second.run(args);
}
