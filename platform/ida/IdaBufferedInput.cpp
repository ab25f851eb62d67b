#include "platform/ida/IdaBufferedInput.h"

#include <algorithm>
#include <cstring>

// Holds the input's lock for a scope; also the BasicLockable the condition variables wait on.
class IdaBufferedInput::Hold {
public:
    explicit Hold(KxCriticalSectionH* lock) : m_lock(lock) { lock->enter(true); }
    ~Hold() { m_lock->leave(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    void lock() { m_lock->enter(true); }
    void unlock() { m_lock->leave(); }

private:
    KxCriticalSectionH* m_lock;
};

IdaBufferedInput::IdaBufferedInput(KxCriticalSectionH* lock, size_t capacity)
    : m_lock(lock ? lock : new KxCriticalSectionH), m_capacity(std::max<size_t>(capacity, 1)) {}

IdaBufferedInput::~IdaBufferedInput() = default;

bool IdaBufferedInput::error() {
    Hold hold(m_lock.get());
    return m_failed;
}

std::string IdaBufferedInput::failureReason() {
    Hold hold(m_lock.get());
    return m_failureReason;
}

IdaBufferedInput::Take IdaBufferedInput::takeLineLocked(std::string& line) {
    if (m_closed) return Take::End;
    const size_t available = m_buffer.size() - m_readPosition;
    if (available > 0) {
        const char* start = m_buffer.data() + m_readPosition;
        const void* found = std::memchr(start, '\n', available);
        if (found) {
            const size_t length = static_cast<const char*>(found) - start;
            if (m_partialLine.empty()) {
                line.assign(start, length);
            } else {
                line.swap(m_partialLine);
                line.append(start, length);
                m_partialLine.clear();
            }
            m_readPosition += length + 1;
            // Compact once the consumed front dominates, so appends stay amortised O(1).
            if (m_readPosition == m_buffer.size()) {
                m_buffer.clear();
                m_readPosition = 0;
            } else if (m_readPosition > m_capacity / 2 && m_readPosition * 2 > m_buffer.size()) {
                m_buffer.erase(0, m_readPosition);
                m_readPosition = 0;
            }
            return Take::Line;
        }
        // No line end yet: take the bytes over into the line being assembled, so a line
        // longer than the buffer cannot wedge the feeder against a full buffer.
        m_partialLine.append(start, available);
        m_buffer.clear();
        m_readPosition = 0;
        m_spaceAvailable.notify_all();
    }
    if (m_failed) {
        // Whole lines delivered before the failure were handed out above; a line the
        // failure cut short never is.
        m_partialLine.clear();
        return Take::End;
    }
    if (m_ended) {
        if (m_partialLine.empty()) return Take::End;
        line.swap(m_partialLine);
        m_partialLine.clear();
        return Take::Line;
    }
    return Take::Wait;
}

void IdaBufferedInput::lineTakenLocked() {
    // The feeder waits for a good part of the buffer to be free (processBuffer), so waking it
    // for every line would only make the two threads take turns line by line.
    if (m_capacity - (m_buffer.size() - m_readPosition) >= refillBytes()) m_spaceAvailable.notify_all();
}

bool IdaBufferedInput::getLine(std::string& line) {
    Hold hold(m_lock.get());
    while (true) {
        switch (takeLineLocked(line)) {
            case Take::Line: lineTakenLocked(); return true;
            case Take::End: return false;
            case Take::Wait: m_dataAvailable.wait(hold); break;
        }
    }
}

size_t IdaBufferedInput::getLines(std::vector<std::string>& lines, size_t maxLines, size_t maxBytes) {
    size_t count = 0, bytes = 0;
    Hold hold(m_lock.get());
    while (true) {
        Take taken = Take::Line;
        while (takesMore(count, bytes, maxLines, maxBytes)) {
            if (lines.size() <= count) lines.resize(count + 1);
            if ((taken = takeLineLocked(lines[count])) != Take::Line) break;
            bytes += lines[count++].size();
        }
        if (count > 0 || taken == Take::End) break;
        m_dataAvailable.wait(hold);
    }
    if (count > 0) lineTakenLocked();
    return count;
}

void IdaBufferedInput::close() {
    Hold hold(m_lock.get());
    m_closed = true;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_readPosition = 0;
    m_spaceAvailable.notify_all();
    m_dataAvailable.notify_all();
}

void IdaBufferedInput::appendLocked(const char* data, size_t size) {
    if (size == 0) return;
    m_buffer.append(data, size);
    m_atLineStart = data[size - 1] == '\n';
    m_dataAvailable.notify_all();
}

bool IdaBufferedInput::processBuffer(void* data, unsigned long size) {
    const char* bytes = static_cast<const char*>(data);
    Hold hold(m_lock.get());
    while (size > 0) {
        // Waits for room for the whole rest or a quarter of the buffer, whichever is less: the
        // data then moves in large pieces rather than a line's worth at a time.
        const size_t wanted = std::min<size_t>(size, refillBytes());
        while (!m_failed && !m_closed && !m_ended && m_capacity - (m_buffer.size() - m_readPosition) < wanted)
            m_spaceAvailable.wait(hold);
        if (m_failed || m_closed || m_ended) return false;
        const size_t room = m_capacity - (m_buffer.size() - m_readPosition);
        const size_t piece = std::min<size_t>(room, size);
        appendLocked(bytes, piece);
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool IdaBufferedInput::deferredProcessBuffer(bool lastCall) {
    if (lastCall) endOfObject();
    return !error();
}

bool IdaBufferedInput::initializeRestore() { return true; }

bool IdaBufferedInput::closeChunk() {
    Hold hold(m_lock.get());
    if (m_failed || m_closed) return false;
    if (!m_atLineStart) appendLocked("\n", 1);
    return true;
}

void IdaBufferedInput::endOfObject() {
    Hold hold(m_lock.get());
    m_ended = true;
    m_dataAvailable.notify_all();
    m_spaceAvailable.notify_all();
}

void IdaBufferedInput::failDelivery(const std::string& reason) {
    Hold hold(m_lock.get());
    if (!m_failed) m_failureReason = reason;
    m_failed = true;
    m_dataAvailable.notify_all();
    m_spaceAvailable.notify_all();
}
