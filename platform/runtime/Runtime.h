#pragma once
// What the platform would otherwise keep process-wide, in one object that is handed to whoever
// needs it: the transport factory and the request deadline, a wall clock and a monotonic clock,
// a sleeper that the runtime's own stop token cuts short, the file system of the backup store,
// the debug log with its list of secrets, and the home folder with the catalog and the
// installation configuration that live in it.
//
// Every client, runner and store reaches a runtime through its IdaEnvironment (runtime());
// an environment that was given none uses defaultRuntime(), which keeps the library's fixed
// signatures working. Two jobs in one process may run on two runtimes: a stop requested on one
// ends the sleeps, retries and transfers of that runtime only.
//
// Threads: every member may be called from any thread. The setters are meant for set-up (before
// the runtime is handed to a job); replacing the sleeper while another thread sleeps through the
// old one is not allowed (the reference sleeper() returned would dangle). stopToken() and
// StopToken::requestStop() are async-signal-safe once the runtime exists.
//
// A runtime owns what it was given (shared pointers) except the file system, which must outlive
// it. It owns the catalog and the configuration it opened; they live until the runtime goes
// (a new home folder opens new ones and keeps the old, so a pointer handed out stays valid).
// Destroying a runtime while a job still uses it is a caller's error.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http/HttpClient.h"
#include "platform/log/DebugLog.h"
#include "platform/util/Export.h"
#include "platform/util/Sleeper.h"
#include "platform/util/Status.h"
#include "platform/util/StopToken.h"

namespace platform {

namespace store {
class FileSystem;
}
namespace catalog {
class Catalog;
}
namespace config {
class InstallConfig;
}

// The local calendar clock. Only log lines and request signing read it; no decision about what
// a backup holds depends on it.
class AZT_API WallClock {
public:
    virtual ~WallClock() = default;
    // Milliseconds since 1970-01-01T00:00:00Z.
    virtual long long nowMs() = 0;
};

// The system's clock (a stateless object shared by every runtime that is given no other).
AZT_API WallClock& systemWallClock();

class AZT_API Runtime {
public:
    // A runtime of real parts: libcurl, the system clocks, nanosleep, the POSIX file system, no
    // debug log file, the default request deadline, and a stop token of its own.
    Runtime();
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // --- Transport
    // The HTTP client a new transport uses: the factory's, or libcurl watching this runtime's
    // stop token.
    std::unique_ptr<http::HttpClient> makeHttpClient();
    // Replaces the factory for transports created afterwards (empty: libcurl again).
    void setHttpClientFactory(http::HttpClientFactory factory);
    // How long one request may take with all its retries, read at its start (0: no limit).
    void setRequestDeadlineMs(unsigned long long milliseconds);
    unsigned long long requestDeadlineMs() const;

    // --- Clocks
    long long wallMs();
    long long wallSeconds();
    // Replaces the wall clock (null: the system's).
    void setWallClock(std::shared_ptr<WallClock> clock);
    // Milliseconds on a steady clock with an arbitrary origin. It is the sleeper's clock, so a
    // fake sleeper's virtual time and its sleeps agree.
    unsigned long long monotonicMs();

    // --- Sleeping and stopping
    Sleeper& sleeper();
    // Installs `replacement` (null: the real sleeper again); returns the previous override.
    std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement);
    StopToken& stopToken() { return m_stop; }
    bool stopRequested() const { return m_stop.stopRequested(); }
    // One pause of a wait or retry loop: nothing when a stop is already requested, else a
    // sleep that the real sleeper ends within about 100 ms of a stop. True when no stop was
    // requested before or during it (the loop may go on), false when the loop must end.
    bool pause(unsigned long long milliseconds);

    // --- Backup store files
    store::FileSystem& fileSystem();
    // Replaces the file system (null: POSIX). It must outlive the runtime's users.
    void setFileSystem(store::FileSystem* fileSystem);

    // --- Debug log and secrets
    log::DebugLog& log() { return *m_log; }

    // --- Home folder
    // The folder holding catalog.db and aztable.conf ("": none set).
    void setHome(const std::string& folder);
    std::string home() const;
    // The home folder's catalog, opened on first use and kept; it is never created here (a
    // missing catalog is NotFound and the message says to run `aztable init`). A failed open is
    // tried again by the next call. The catalog may be used from any thread.
    Status catalog(catalog::Catalog*& out);
    // The home folder's configuration file, read on first use and kept, in the same way.
    Status configuration(config::InstallConfig*& out);

private:
    std::shared_ptr<Sleeper> currentSleeper();
    std::shared_ptr<WallClock> currentWallClock();

    StopToken m_stop;
    mutable std::mutex m_mutex;  // guards the members below
    http::HttpClientFactory m_httpFactory;
    unsigned long long m_deadlineMs;
    std::shared_ptr<Sleeper> m_realSleeper;
    std::shared_ptr<Sleeper> m_sleeper;  // override, or null
    std::shared_ptr<WallClock> m_wallClock;  // override, or null
    store::FileSystem* m_fileSystem = nullptr;
    std::unique_ptr<log::DebugLog> m_log;
    // The home folder's members, under their own lock (opening a catalog waits on its file).
    mutable std::mutex m_homeMutex;
    std::string m_home;
    std::unique_ptr<catalog::Catalog> m_catalog;
    std::unique_ptr<config::InstallConfig> m_configuration;
    // Opened under an earlier home folder: kept alive for whoever still holds them.
    std::vector<std::unique_ptr<catalog::Catalog>> m_oldCatalogs;
    std::vector<std::unique_ptr<config::InstallConfig>> m_oldConfigurations;
};

// The runtime of everything that was given no other: the one process-wide object that remains.
// Created on first use and never destroyed (so it outlives every static user).
AZT_API Runtime& defaultRuntime();

// The pauses of one retry or wait loop, through a runtime. Each loop keeps its own numbers (the
// schedule and the bound); the pauses and the stop checks are the same everywhere: no pause is
// taken once a stop is requested, and a stop during a pause ends the loop.
//
// One thread at a time (each loop owns its Backoff).
class AZT_API Backoff {
public:
    enum class Step {
        Retry,      // paused; try again
        Stopped,    // a stop was requested before or during the pause
        Exhausted,  // the bound of retries was reached (no pause was taken)
    };

    // `schedule(n)`: the pause before retry n (from 1). `maxRetries` 0: no bound.
    Backoff(Runtime& runtime, std::function<unsigned long long(unsigned int retry)> schedule,
            unsigned int maxRetries = 0);
    // A fixed pause before every retry.
    static Backoff every(Runtime& runtime, unsigned long long milliseconds, unsigned int maxRetries = 0);

    // Pauses before the next retry by the schedule.
    Step next();
    // Pauses `milliseconds` instead of the scheduled pause (a pause the other side asked for).
    Step next(unsigned long long milliseconds);
    // Retries paused for so far.
    unsigned int retries() const { return m_retries; }
    bool stopRequested() const { return m_runtime.stopRequested(); }
    Runtime& runtime() const { return m_runtime; }

private:
    Runtime& m_runtime;
    std::function<unsigned long long(unsigned int)> m_schedule;
    unsigned int m_maxRetries;
    unsigned int m_retries = 0;
};

}  // namespace platform
