#include "Home.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "agent/AgentSetup.h"
#include "platform/runtime/Runtime.h"

namespace aztable {

void addHomeOptions(CLI::App& command, HomeOptions& options) {
    command.add_option("--home", options.home, "the agent's home folder (default: $AZTABLE_HOME, else ~/.aztable)")
        ->option_text("DIR");
    command.add_option("--debug-log", options.debugLogFile,
                       "append the debug log (keys and signatures scrubbed) to FILE instead of <home>/log/aztable.log")
        ->option_text("FILE");
}

std::string homeFolder(const HomeOptions& options) {
    std::string home = options.home;
    if (home.empty()) {
        const char* variable = std::getenv("AZTABLE_HOME");
        if (variable && *variable) home = variable;
    }
    if (home.empty()) {
        const char* user = std::getenv("HOME");
        home = std::string(user && *user ? user : ".") + "/.aztable";
    }
    if (home[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) home = std::string(cwd) + "/" + home;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home;
}

platform::Status openHome(const HomeOptions& options) {
    platform::Runtime& runtime = platform::defaultRuntime();
    const std::string home = homeFolder(options);
    platform::Status status = AzureTableIDA::openHome(runtime, home);
    if (!status.ok()) return status;
    const std::string log =
        options.debugLogFile.empty() ? AzureTableIDA::HomeLayout::of(home).logs + "/aztable.log" : options.debugLogFile;
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return platform::Status(platform::Status::Code::Failed,
                                "cannot open the log " + log + ": " + std::strerror(errno));
    ::close(fd);
    runtime.log().setFile(log);
    // The home's own log keeps every command's story; a log asked for by name also gets each
    // request's body (a restore's batches alone would add 40 MB per million entities).
    runtime.log().setLevel(options.debugLogFile.empty() ? 2 : 3);
    return status;
}

}  // namespace aztable
