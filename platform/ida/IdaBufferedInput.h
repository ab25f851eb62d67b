#pragma once
// An input fed by a producer: the bytes of a backed-up object arrive through processBuffer (in
// pieces of any size, cut anywhere, even inside a line) and come out as whole lines, in order,
// through getLine.
//
// Threads. Exactly two sides use an input at a time:
//   - the feeder (the platform's delivery thread): processBuffer, closeChunk, endOfObject,
//     failDelivery, deferredProcessBuffer;
//   - the reader (the thread that runs startRestore): getLine, getLines, getContents, close.
// error() may be called from either. Both sides coordinate through the input's lock, which the
// input releases while it waits; so neither side may call in while already holding that lock.
// A full buffer makes processBuffer wait for the reader, an empty one makes getLine wait for
// the feeder, the end of the object or a failure.
//
// Memory. The buffer holds at most `capacity` bytes (processBuffer blocks while it is full), plus
// the one partial line the reader is assembling, so a line longer than the buffer still passes
// and memory stays flat however large the object is.
//
// Ownership. The input owns the lock its creator hands it (created with new) and deletes it.
// After failDelivery, error() is true; getLine still hands out the whole lines delivered before
// the failure, then returns false: a line cut short by the failure is never handed out, and a
// delivery that failed part way never looks as if it had ended. After close(), processBuffer refuses data
// (returns false) so a feeder blocked on a full buffer is released.
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/ida/IdaInput.h"
#include "platform/ida/KxCriticalSectionH.h"
#include "platform/util/Export.h"

class AZT_API IdaBufferedInput : public IdaInput {
public:
    static constexpr size_t kDefaultCapacity = 4u << 20;

    // `lock` may be null (the input then makes its own).
    explicit IdaBufferedInput(KxCriticalSectionH* lock, size_t capacity = kDefaultCapacity);
    ~IdaBufferedInput() override;
    IdaBufferedInput(const IdaBufferedInput&) = delete;
    IdaBufferedInput& operator=(const IdaBufferedInput&) = delete;

    // Reader side.
    bool error() override;
    bool getLine(std::string& line) override;
    // The whole lines the buffer holds (waiting for one when it holds none), up to `maxLines`
    // and `maxBytes`, under one hold of the lock.
    size_t getLines(std::vector<std::string>& lines, size_t maxLines, size_t maxBytes) override;
    void close() override;

    // Feeder side. processBuffer copies `size` bytes in, waiting while the buffer is full;
    // false when the input no longer takes data (closed by the reader, or delivery failed).
    virtual bool processBuffer(void* data, unsigned long size);
    // Delivers nothing new; with `lastCall` set it ends the object like endOfObject().
    virtual bool deferredProcessBuffer(bool lastCall);
    virtual bool initializeRestore();
    virtual bool startRestore(bool flag) = 0;
    // Ends one chunk of the object: a line left open at the end of a chunk ends there. More
    // chunks may follow.
    virtual bool closeChunk();

    // The object is complete: getLine hands out what is buffered, then returns false.
    void endOfObject();
    // Delivery failed (a damaged or unreadable object): error() becomes true; getLine ends after
    // the whole lines already delivered.
    void failDelivery(const std::string& reason);
    std::string failureReason();

    KxCriticalSectionH* lock() const { return m_lock.get(); }

private:
    class Hold;
    enum class Take { Line, Wait, End };
    // With the lock held: the next line into `line` (Line), none yet (Wait), or none to come.
    Take takeLineLocked(std::string& line);
    // With the lock held, after lines were taken: wakes the feeder once there is room enough.
    void lineTakenLocked();
    void appendLocked(const char* data, size_t size);

    std::unique_ptr<KxCriticalSectionH> m_lock;
    std::condition_variable_any m_spaceAvailable;
    std::condition_variable_any m_dataAvailable;
    // How much room a waiting feeder asks for before it goes on.
    size_t refillBytes() const { return m_capacity / 4 > 0 ? m_capacity / 4 : 1; }
    const size_t m_capacity;

    // Guarded by m_lock.
    std::string m_buffer;      // delivered bytes not yet handed out
    size_t m_readPosition = 0; // first byte of m_buffer not yet handed out
    bool m_ended = false;
    bool m_failed = false;
    bool m_closed = false;
    bool m_atLineStart = true; // the last byte delivered ended a line (or nothing came yet)
    std::string m_failureReason;

    // Reader's own: the start of a line whose end has not arrived yet.
    std::string m_partialLine;
};
