#include "platform/runtime/Runtime.h"

#include <chrono>

#include "platform/catalog/Catalog.h"
#include "platform/catalog/InstallConfig.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/http/CurlHttpClient.h"
#include "platform/store/FileSystem.h"

namespace platform {
namespace {

class SystemWallClock : public WallClock {
public:
    long long nowMs() override {
        using namespace std::chrono;
        return static_cast<long long>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    }
};

}  // namespace

WallClock& systemWallClock() {
    static SystemWallClock clock;
    return clock;
}

Runtime::Runtime()
    : m_deadlineMs(http::kDefaultRequestDeadlineMs),
      m_realSleeper(std::make_shared<SystemSleeper>(m_stop)),
      m_log(new log::DebugLog([this] { return wallMs(); })) {}

Runtime::~Runtime() = default;

std::unique_ptr<http::HttpClient> Runtime::makeHttpClient() {
    http::HttpClientFactory factory;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        factory = m_httpFactory;
    }
    if (factory) return factory();
    return std::make_unique<http::CurlHttpClient>(m_stop);
}

void Runtime::setHttpClientFactory(http::HttpClientFactory factory) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_httpFactory = std::move(factory);
}

void Runtime::setRequestDeadlineMs(unsigned long long milliseconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deadlineMs = milliseconds;
}

unsigned long long Runtime::requestDeadlineMs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deadlineMs;
}

std::shared_ptr<WallClock> Runtime::currentWallClock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wallClock;
}

long long Runtime::wallMs() {
    auto clock = currentWallClock();
    return clock ? clock->nowMs() : systemWallClock().nowMs();
}

long long Runtime::wallSeconds() {
    long long ms = wallMs();
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

void Runtime::setWallClock(std::shared_ptr<WallClock> clock) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wallClock = std::move(clock);
}

std::shared_ptr<Sleeper> Runtime::currentSleeper() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sleeper ? m_sleeper : m_realSleeper;
}

unsigned long long Runtime::monotonicMs() { return currentSleeper()->nowMs(); }

Sleeper& Runtime::sleeper() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sleeper ? *m_sleeper : *m_realSleeper;
}

std::shared_ptr<Sleeper> Runtime::setSleeper(std::shared_ptr<Sleeper> replacement) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(m_sleeper, replacement);
    return replacement;
}

bool Runtime::pause(unsigned long long milliseconds) {
    if (m_stop.stopRequested()) return false;
    currentSleeper()->sleepMs(milliseconds);
    return !m_stop.stopRequested();
}

store::FileSystem& Runtime::fileSystem() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fileSystem ? *m_fileSystem : store::posixFileSystem();
}

void Runtime::setFileSystem(store::FileSystem* fileSystem) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fileSystem = fileSystem;
}

void Runtime::setHome(const std::string& folder) {
    std::lock_guard<std::mutex> lock(m_homeMutex);
    if (folder == m_home) return;
    m_home = folder;
    if (m_catalog) m_oldCatalogs.push_back(std::move(m_catalog));
    if (m_configuration) m_oldConfigurations.push_back(std::move(m_configuration));
}

std::string Runtime::home() const {
    std::lock_guard<std::mutex> lock(m_homeMutex);
    return m_home;
}

Status Runtime::catalog(catalog::Catalog*& out) {
    std::lock_guard<std::mutex> lock(m_homeMutex);
    if (!m_catalog) {
        if (m_home.empty())
            return Status(Status::Code::NotFound, "no home folder is set, so there is no catalog: run 'aztable init'");
        std::string path = m_home + "/catalog.db";
        Status status = catalog::Catalog::open(path, false, m_catalog);
        if (status.code == Status::Code::NotFound)
            return Status(Status::Code::NotFound, "there is no catalog at " + path + ": run 'aztable init' first");
        if (!status.ok()) return status;
    }
    out = m_catalog.get();
    return Status();
}

Status Runtime::configuration(config::InstallConfig*& out) {
    std::lock_guard<std::mutex> lock(m_homeMutex);
    if (!m_configuration) {
        if (m_home.empty())
            return Status(Status::Code::NotFound,
                          "no home folder is set, so there is no configuration: run 'aztable init'");
        std::string path = m_home + "/" + config::kConfigFileName;
        auto loaded = std::make_unique<config::InstallConfig>();
        Status status = loaded->load(path);
        if (status.code == Status::Code::NotFound)
            return Status(Status::Code::NotFound,
                          "there is no configuration file at " + path + ": run 'aztable init' first");
        if (!status.ok()) return status;
        m_configuration = std::move(loaded);
    }
    out = m_configuration.get();
    return Status();
}

Runtime& defaultRuntime() {
    // Never destroyed: threads and static destructors may still log or sleep through it at exit.
    static Runtime* runtime = new Runtime();
    return *runtime;
}

Backoff::Backoff(Runtime& runtime, std::function<unsigned long long(unsigned int)> schedule, unsigned int maxRetries)
    : m_runtime(runtime), m_schedule(std::move(schedule)), m_maxRetries(maxRetries) {}

Backoff Backoff::every(Runtime& runtime, unsigned long long milliseconds, unsigned int maxRetries) {
    return Backoff(runtime, [milliseconds](unsigned int) { return milliseconds; }, maxRetries);
}

Backoff::Step Backoff::next() { return next(m_schedule ? m_schedule(m_retries + 1) : 0); }

Backoff::Step Backoff::next(unsigned long long milliseconds) {
    if (m_maxRetries != 0 && m_retries >= m_maxRetries) return Step::Exhausted;
    if (m_runtime.stopRequested()) return Step::Stopped;
    ++m_retries;
    return m_runtime.pause(milliseconds) ? Step::Retry : Step::Stopped;
}

}  // namespace platform
