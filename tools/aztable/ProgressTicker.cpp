#include "ProgressTicker.h"

#include <unistd.h>

#include <cstdio>

namespace aztable {

ProgressTicker::ProgressTicker(std::function<std::string()> render) : m_render(std::move(render)) {
    if (::isatty(STDERR_FILENO)) m_thread = std::thread([this] { loop(); });
}

ProgressTicker::~ProgressTicker() { stop(); }

void ProgressTicker::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
        std::fprintf(stderr, "\r\033[K");
    }
}

void ProgressTicker::loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_done; })) {
        std::string line = m_render();
        if (line.empty()) continue;
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
    }
}

}  // namespace aztable
