#include "platform/ida/IdaBufferedOutput.h"

#include <algorithm>
#include <cstring>

namespace {

// A consumer that never takes its page boundaries must not make memory grow without bound;
// beyond this many untaken boundaries the oldest are forgotten.
constexpr size_t kMaxUntakenMarks = 1u << 16;

}  // namespace

IdaBufferedOutput::IdaBufferedOutput(const std::string& name, IdaEnvironment* environment, size_t capacity)
    : IdaOutput(name, environment), m_lock(new KxCriticalSectionH), m_ring(std::max<size_t>(capacity, 1)) {}

IdaBufferedOutput::~IdaBufferedOutput() {
    if (m_debugFile) std::fclose(m_debugFile);
    delete m_lock;
}

bool IdaBufferedOutput::putString(const std::string& text) { return putBytes(text.data(), text.size()); }

bool IdaBufferedOutput::putBytes(const char* data, size_t size) {
    // The restart string this session started from names durable data by definition: it is
    // the safe restart string until the first page has been made durable.
    bool started;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        started = m_sessionStarted;
    }
    if (!started) {
        m_lock->enter(true);
        std::string initial = m_restartString;
        m_lock->leave();
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_sessionStarted) {
            m_sessionStarted = true;
            m_safeRestart = initial;
        }
    }

    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_failed || m_finished) return false;
    const size_t capacity = m_ring.size();
    size_t offset = 0;
    while (offset < size) {
        m_notFull.wait(lock, [&] { return m_failed || m_size < capacity; });
        if (m_failed) return false;
        size_t tail = (m_head + m_size) % capacity;
        size_t count = std::min(size - offset, capacity - m_size);
        size_t first = std::min(count, capacity - tail);
        std::memcpy(&m_ring[tail], data + offset, first);
        if (count > first) std::memcpy(&m_ring[0], data + offset + first, count - first);
        m_size += count;
        m_produced += count;
        offset += count;
        m_notEmpty.notify_one();
    }
    return true;
}

void IdaBufferedOutput::updateRestart(const std::string& restart) {
    m_lock->enter(true);
    std::string previous = m_restartString;
    m_restartString = restart;
    m_lock->leave();

    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_sessionStarted) {
        m_sessionStarted = true;
        m_safeRestart = previous;
    }
    Mark mark{m_produced, restart};
    m_consumerMarks.push_back(mark);
    if (m_consumerMarks.size() > kMaxUntakenMarks) m_consumerMarks.pop_front();
    m_durableMarks.push_back(std::move(mark));
    // Forgetting the oldest marks only keeps the safe restart string older: still safe.
    if (m_durableMarks.size() > kMaxUntakenMarks) m_durableMarks.pop_front();
    ++m_marksAdded;
    m_notEmpty.notify_all();
}

bool IdaBufferedOutput::flush() { return true; }

bool IdaBufferedOutput::close(const std::string& restart) {
    m_lock->enter(true);
    m_restartString = restart;
    m_lock->leave();
    return true;
}

bool IdaBufferedOutput::stopNow() { return m_stopRequested.load() || IdaOutput::stopNow(); }

size_t IdaBufferedOutput::waitForData(std::unique_lock<std::mutex>& lock, size_t capacity, bool& failed) {
    // Marks are kept in stream order, so counting those the consumer has reached is cheap.
    auto reachedMarks = [&] {
        uint64_t reached = m_marksAdded - m_consumerMarks.size();
        for (const auto& mark : m_consumerMarks) {
            if (mark.position > m_consumed) break;
            ++reached;
        }
        return reached;
    };
    m_notEmpty.wait(lock, [&] { return m_failed || m_size > 0 || m_finished || reachedMarks() > m_marksAnnounced; });
    failed = m_failed;
    if (failed) return 0;
    m_marksAnnounced = std::max(m_marksAnnounced, reachedMarks());

    size_t count = std::min(capacity, m_size);
    if (!m_spanning) {
        for (const auto& mark : m_consumerMarks) {
            if (mark.position > m_consumed) {
                count = std::min<size_t>(count, static_cast<size_t>(mark.position - m_consumed));
                break;
            }
        }
    }
    return count;
}

void IdaBufferedOutput::handOut(size_t count) {
    if (m_debugFile && count > 0) {
        const size_t first = std::min(count, m_ring.size() - m_head);
        std::fwrite(&m_ring[m_head], 1, first, m_debugFile);
        if (count > first) std::fwrite(&m_ring[0], 1, count - first, m_debugFile);
    }
    m_head = (m_head + count) % m_ring.size();
    m_size -= count;
    m_consumed += count;
    if (count > 0) m_notFull.notify_one();
}

bool IdaBufferedOutput::fillBuffer(void* destination, unsigned long capacity, unsigned long& filled,
                                   bool& endOfData) {
    filled = 0;
    endOfData = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    bool failed = false;
    const size_t count = waitForData(lock, capacity, failed);
    if (failed) return false;
    const size_t first = std::min(count, m_ring.size() - m_head);
    auto* out = static_cast<char*>(destination);
    std::memcpy(out, &m_ring[m_head], first);
    if (count > first) std::memcpy(out + first, &m_ring[0], count - first);
    handOut(count);
    filled = static_cast<unsigned long>(count);
    endOfData = m_finished && m_size == 0;
    return true;
}

bool IdaBufferedOutput::peekBuffer(unsigned long capacity, const char*& data, unsigned long& size, bool& endOfData) {
    data = nullptr;
    size = 0;
    endOfData = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    bool failed = false;
    // One piece of the ring: what lies past its end comes with the next call.
    const size_t count = std::min(waitForData(lock, capacity, failed), m_ring.size() - m_head);
    if (failed) return false;
    data = m_ring.data() + m_head;
    size = static_cast<unsigned long>(count);
    endOfData = m_finished && m_size == count;
    return true;
}

void IdaBufferedOutput::release(unsigned long size) {
    std::lock_guard<std::mutex> guard(m_mutex);
    handOut(std::min<size_t>(size, m_size));
}

bool IdaBufferedOutput::initializeBackup() { return true; }

bool IdaBufferedOutput::startBackup(bool) {
    finishProducing();
    return true;
}

std::string IdaBufferedOutput::getSafeRestartString() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_sessionStarted) return m_safeRestart;
    }
    return getRestartString();
}

std::string IdaBufferedOutput::getRestartString() {
    m_lock->enter(true);
    std::string restart = m_restartString;
    m_lock->leave();
    return restart;
}

void IdaBufferedOutput::setBufferSpanning(bool spanning) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_spanning = spanning;
}

unsigned long long IdaBufferedOutput::getRemainingDataSize(bool& endOfData) {
    std::lock_guard<std::mutex> guard(m_mutex);
    endOfData = m_finished && m_size == 0;
    return m_size;
}

void IdaBufferedOutput::setDebugOutputFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_debugFile) std::fclose(m_debugFile);
    m_debugFile = path.empty() ? nullptr : std::fopen(path.c_str(), "wb");
}

void IdaBufferedOutput::finishProducing() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_finished = true;
    m_notEmpty.notify_all();
}

void IdaBufferedOutput::consumerFailed() {
    m_stopRequested.store(true);
    std::lock_guard<std::mutex> guard(m_mutex);
    m_failed = true;
    m_notEmpty.notify_all();
    m_notFull.notify_all();
}

bool IdaBufferedOutput::takeRestartMark(uint64_t consumedUpTo, std::string& restart) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_consumerMarks.empty() || m_consumerMarks.front().position > consumedUpTo) return false;
    restart = std::move(m_consumerMarks.front().restart);
    m_consumerMarks.pop_front();
    return true;
}

void IdaBufferedOutput::markConsumedDurable(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_durable = std::max(m_durable, std::min(bytes, m_consumed));
    while (!m_durableMarks.empty() && m_durableMarks.front().position <= m_durable) {
        m_safeRestart = std::move(m_durableMarks.front().restart);
        m_durableMarks.pop_front();
    }
}

uint64_t IdaBufferedOutput::bytesProduced() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_produced;
}

uint64_t IdaBufferedOutput::bytesConsumed() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_consumed;
}
