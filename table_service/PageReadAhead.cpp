#include "table_service/PageReadAhead.h"

#include <utility>

namespace table_service {

PageReadAhead::PageReadAhead(Send send) : m_send(std::move(send)) {}

PageReadAhead::~PageReadAhead() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void PageReadAhead::start(AzureTableRequest request, std::string key) {
    drop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_request = std::move(request);
        m_key = std::move(key);
        m_started = true;
        m_done = false;
    }
    if (!m_thread.joinable()) m_thread = std::thread([this] { run(); });
    m_changed.notify_all();
}

bool PageReadAhead::take(const std::string& key, AzureTableResponse& response) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_started) return false;
    m_changed.wait(lock, [this] { return m_done; });
    m_started = m_done = false;
    AzureTableResponse reply = std::move(m_response);
    m_response = AzureTableResponse();
    if (m_key != key) return false;
    response = std::move(reply);
    return true;
}

void PageReadAhead::drop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_started) return;
    m_changed.wait(lock, [this] { return m_done; });
    m_started = m_done = false;
    m_response = AzureTableResponse();
}

void PageReadAhead::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_changed.wait(lock, [this] { return m_quit || (m_started && !m_done); });
        // A request handed over is always answered, so the owner never waits in vain.
        if (m_started && !m_done) {
            AzureTableRequest request = std::move(m_request);
            lock.unlock();
            AzureTableResponse reply = m_send(request);
            lock.lock();
            m_response = std::move(reply);
            m_done = true;
            m_changed.notify_all();
            continue;
        }
        if (m_quit) return;
    }
}

}  // namespace table_service
