#pragma once
// Runs a shell command as a child process and collects what it writes.
//
// KxProcess::system starts "/bin/sh -c <command>" with standard input on /dev/null, reads its
// standard output and standard error side by side until both are closed (so a command that
// writes a lot to either never blocks on a full pipe), and waits for it. The child runs in a
// process group of its own, so a timeout ends the command and everything it started.
//
// Owns nothing between calls; any thread may call it. The child inherits no descriptor the
// caller opened with close-on-exec, and neither this process's signal mask nor an ignored
// SIGPIPE. A failure to start leaves no child behind; after a timeout the group has been killed
// and reaped, and `out` and `err` hold what the command wrote until then.
//
// The command is shell text: every piece of it that came from a user (a path, a table name, a
// value typed on a command line) must go through shellQuote first.
#include <string>

#include "platform/util/Export.h"

class AZT_API KxProcess {
public:
    // Runs `command` through /bin/sh. `out` and `err` are replaced with the command's standard
    // output and standard error. Returns the command's exit status (0 to 255), 128 + the signal
    // number when a signal ended it (as a shell reports it), or -1 when it could not be run or
    // did not end within `timeoutMs` milliseconds (0 or less: no limit); then `err` ends with
    // the cause in words. With `echoToStdout`, what the command writes to its standard output is
    // also copied to this process's standard output as it arrives (a person watching a trace).
    static int system(const std::string& command, std::string& out, std::string& err, int timeoutMs,
                      bool echoToStdout);
};

namespace platform {

// `text` as one word of shell text, taken literally: single-quoted, with every single quote
// written as '\'' ("it's" gives 'it'\''s'; "" gives ''). Stateless.
AZT_API std::string shellQuote(const std::string& text);

}  // namespace platform
