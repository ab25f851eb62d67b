#include "platform/util/KxProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

std::string errnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

void appendCause(std::string& err, const std::string& cause) {
    if (!err.empty() && err.back() != '\n') err += '\n';
    err += cause;
}

// Both ends of one pipe, closed when it goes.
struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int end) {
        if (fd[end] >= 0) ::close(fd[end]);
        fd[end] = -1;
    }
};

// The spawn's file actions and attributes, released when it goes.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int failed = 0;  // the first error of the set-up, 0 when none
    SpawnSetup() {
        check(posix_spawn_file_actions_init(&actions));
        check(posix_spawnattr_init(&attributes));
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    void check(int rc) {
        if (rc != 0 && failed == 0) failed = rc;
    }
};

int shellStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int KxProcess::system(const std::string& command, std::string& out, std::string& err, int timeoutMs,
                      bool echoToStdout) {
    out.clear();
    err.clear();
    Pipe outPipe, errPipe;
    if (::pipe2(outPipe.fd, O_CLOEXEC) != 0 || ::pipe2(errPipe.fd, O_CLOEXEC) != 0) {
        err = errnoText("cannot create a pipe for the command", errno);
        return -1;
    }

    pid_t pid = -1;
    int spawned;
    {
        SpawnSetup setup;
        setup.check(posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0));
        setup.check(posix_spawn_file_actions_adddup2(&setup.actions, outPipe.fd[1], 1));
        setup.check(posix_spawn_file_actions_adddup2(&setup.actions, errPipe.fd[1], 2));
        // A caller that blocks signals or ignores SIGPIPE must not pass that on: a command
        // writing into a closed pipe should end as it would from a shell.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        setup.check(posix_spawnattr_setsigmask(&setup.attributes, &none));
        setup.check(posix_spawnattr_setsigdefault(&setup.attributes, &defaults));
        setup.check(posix_spawnattr_setpgroup(&setup.attributes, 0));
        setup.check(posix_spawnattr_setflags(&setup.attributes,
                                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
        if (setup.failed != 0) {
            err = errnoText("cannot prepare the command", setup.failed);
            return -1;
        }
        char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()),
                        nullptr};
        spawned = posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attributes, argv, environ);
    }
    outPipe.closeEnd(1);
    errPipe.closeEnd(1);
    if (spawned != 0) {
        err = errnoText("cannot start /bin/sh", spawned);
        return -1;
    }

    // Read both streams until both are closed; a pipe left full would stop the command.
    const long long deadline = timeoutMs > 0 ? nowMs() + timeoutMs : 0;
    struct pollfd fds[2] = {{outPipe.fd[0], POLLIN, 0}, {errPipe.fd[0], POLLIN, 0}};
    std::string* targets[2] = {&out, &err};
    int open = 2;
    bool timedOut = false;
    std::string failure;
    char buffer[65536];
    while (open > 0) {
        int waitMs = -1;
        if (deadline != 0) {
            long long remaining = deadline - nowMs();
            if (remaining <= 0) {
                timedOut = true;
                break;
            }
            waitMs = static_cast<int>(remaining);
        }
        int ready = ::poll(fds, 2, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failure = errnoText("cannot wait for the command's output", errno);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                targets[i]->append(buffer, static_cast<size_t>(got));
                if (i == 0 && echoToStdout) {
                    std::fwrite(buffer, 1, static_cast<size_t>(got), stdout);
                    std::fflush(stdout);
                }
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                fds[i].fd = -1;  // poll skips it from now on
                --open;
            }
        }
    }
    if (timedOut || !failure.empty()) ::kill(-pid, SIGKILL);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            appendCause(err, errnoText("cannot learn how the command ended", errno));
            return -1;
        }
    }
    if (timedOut) {
        appendCause(err, "the command did not end within " + std::to_string(timeoutMs) + " ms and was stopped");
        return -1;
    }
    if (!failure.empty()) {
        appendCause(err, failure);
        return -1;
    }
    return shellStatus(status);
}

namespace platform {

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

}  // namespace platform
