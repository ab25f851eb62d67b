#include "platform/store/BackupStoreConsumer.h"


namespace platform {
namespace store {

BackupStoreConsumer::BackupStoreConsumer(IdaBufferedOutput& source, BackupDataOutput& sink, size_t blockSize)
    : m_source(source), m_sink(sink), m_blockSize(blockSize ? blockSize : 1) {}

BackupStoreConsumer::~BackupStoreConsumer() {
    if (m_thread.joinable()) m_thread.join();
}

void BackupStoreConsumer::start() {
    m_thread = std::thread([this] { m_result = run(); });
}

bool BackupStoreConsumer::join() {
    if (m_thread.joinable()) m_thread.join();
    return m_result;
}

bool BackupStoreConsumer::run() {
    // Chunk files are cut at page boundaries, so a block must never hold the end of one page
    // and the start of the next.
    m_source.setBufferSpanning(false);
    uint64_t consumed = 0, pages = 0;
    std::string restart;
    // Forwards the page boundaries at or before `position`; false when the store failed.
    auto forwardBoundaries = [&](uint64_t position) {
        while (m_source.takeRestartMark(position, restart)) {
            m_sink.updateRestart(restart);
            if (m_sink.failed()) return false;
            m_source.markConsumedDurable(m_sink.durableSessionBytes());
            ++pages;
            if (onPage) onPage(pages);
        }
        return true;
    };
    while (true) {
        // The bytes are stored straight from the output's buffer and handed out once stored.
        const char* data = nullptr;
        unsigned long filled = 0;
        bool endOfData = false;
        if (!m_source.peekBuffer(static_cast<unsigned long>(m_blockSize), data, filled, endOfData)) return false;
        // A boundary the producer posted before these bytes belongs before them in the store.
        if (!forwardBoundaries(consumed)) {
            m_source.consumerFailed();
            return false;
        }
        if (filled > 0) {
            if (!m_sink.append(data, filled)) {
                m_source.consumerFailed();
                return false;
            }
            m_source.release(filled);
            consumed += filled;
        }
        if (!forwardBoundaries(consumed)) {
            m_source.consumerFailed();
            return false;
        }
        if (endOfData) break;
    }
    if (!m_sink.flush()) {
        m_source.consumerFailed();
        return false;
    }
    m_source.markConsumedDurable(m_sink.durableSessionBytes());
    return true;
}

}  // namespace store
}  // namespace platform
