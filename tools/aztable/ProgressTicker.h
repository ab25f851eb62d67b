#pragma once
// Rewrites one status line on stderr once a second while long work runs, and only when stderr
// is a terminal (scripts and logs get the summary line alone). The line is cleared on stop.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace aztable {

class ProgressTicker {
public:
    // `render` is called on the ticker's own thread; it must only read thread-safe counters.
    explicit ProgressTicker(std::function<std::string()> render);
    ~ProgressTicker();
    ProgressTicker(const ProgressTicker&) = delete;
    ProgressTicker& operator=(const ProgressTicker&) = delete;

    void stop();

private:
    void loop();

    std::function<std::string()> m_render;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace aztable
