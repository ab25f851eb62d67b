#pragma once
// A backup data output whose bytes a consumer thread drains while the producer is still writing.
//
// Ownership: the output owns its ring buffer (fixed capacity, 32 MiB unless told otherwise), its
// restart marks and its lock (m_lock). Memory does not grow with the size of the table: a
// producer that gets ahead of the consumer waits in putString until the consumer has made room,
// and restart marks are dropped as soon as the consumer has taken them and made them durable.
//
// Threads: exactly one producer (putString, updateRestart, close, stopNow, finishProducing) and
// one consumer (fillBuffer or peekBuffer and release, takeRestartMark, markConsumedDurable,
// consumerFailed) may run at the
// same time; the restart getters and requestStop may be called from any thread, and
// requestStop also from a signal handler.
//
// Restart bookkeeping: updateRestart records the restart string at the current end of the data,
// so a restart string always names a point between two pages. getRestartString is the latest
// restart string given (or set through close); getSafeRestartString names only data the
// consumer has taken and reported durable with markConsumedDurable, so a job resumed from it
// neither loses nor repeats a page.
//
// Failure: when the consumer cannot store data it calls consumerFailed; from then on putString
// refuses every text (the producer's query then fails and reports it) and nothing blocks.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ida/IdaOutput.h"
#include "platform/ida/KxCriticalSectionH.h"
#include "platform/util/Export.h"

class AZT_API IdaBufferedOutput : public IdaOutput {
public:
    static constexpr size_t kDefaultCapacity = size_t(32) << 20;

    explicit IdaBufferedOutput(const std::string& name = "", IdaEnvironment* environment = nullptr,
                               size_t capacity = kDefaultCapacity);
    ~IdaBufferedOutput() override;
    IdaBufferedOutput(const IdaBufferedOutput&) = delete;
    IdaBufferedOutput& operator=(const IdaBufferedOutput&) = delete;

    // Producer side.
    // Appends `text`, waiting while the buffer is full. False once the consumer failed or the
    // producer already finished (nothing of a refused text is kept).
    bool putString(const std::string& text) override;
    bool putBytes(const char* data, size_t size) override;
    void updateRestart(const std::string& restart) override;
    bool flush() override;
    // Records `restart` as this output's restart string; ends nothing.
    bool close(const std::string& restart) override;
    // True once requestStop was called or the consumer failed.
    bool stopNow() override;

    // Consumer side.
    // Copies up to `capacity` buffered bytes into `destination`, waiting until there are some,
    // a new page boundary was reached, or the data has ended. `endOfData` is true once the
    // producer finished and every byte was handed out. False when the consumer has already failed.
    // Without buffer spanning, one call never returns bytes of two pages.
    virtual bool fillBuffer(void* destination, unsigned long capacity, unsigned long& filled, bool& endOfData);
    // The same without a copy: waits as fillBuffer does, then points `data` at up to `capacity`
    // buffered bytes in one piece (fewer where the ring wraps; `endOfData` as if they were taken).
    // They stay where they are, and count as buffered, until release: the producer cannot write
    // over them. The next peekBuffer after no release shows the same bytes again.
    bool peekBuffer(unsigned long capacity, const char*& data, unsigned long& size, bool& endOfData);
    // Hands out the first `size` bytes shown by peekBuffer.
    void release(unsigned long size);
    virtual bool initializeBackup();
    // This output has no producer of its own: it ends the data and returns true.
    virtual bool startBackup(bool flag);
    virtual std::string getSafeRestartString();
    virtual std::string getRestartString();
    // false: fillBuffer stops at every page boundary (a store that cuts files at page
    // boundaries needs that); true (the default): it fills the destination as far as it can.
    virtual void setBufferSpanning(bool spanning);
    // Bytes buffered and not yet handed out; `endOfData` as in fillBuffer.
    virtual unsigned long long getRemainingDataSize(bool& endOfData);
    // Copies every byte handed out by fillBuffer to `path` as well ("" stops copying).
    virtual void setDebugOutputFile(const std::string& path);

    // Asks the producer to stop at its next page boundary. Async-signal-safe.
    void requestStop() { m_stopRequested.store(true); }
    // Tells the consumer that no more data will come (the producer returned).
    void finishProducing();
    // The consumer gave up; the producer is released and refused from now on.
    void consumerFailed();
    // The next page boundary at or before stream position `consumedUpTo` (bytes handed out by
    // fillBuffer since construction), in order: false when there is none yet.
    bool takeRestartMark(uint64_t consumedUpTo, std::string& restart);
    // The consumer has made the first `bytes` bytes of the stream durable.
    void markConsumedDurable(uint64_t bytes);

    size_t capacity() const { return m_ring.size(); }
    uint64_t bytesProduced();
    uint64_t bytesConsumed();

protected:
    std::string m_restartString;  // guarded by m_lock
    KxCriticalSectionH* m_lock;   // owned

private:
    struct Mark {
        uint64_t position;
        std::string restart;
    };
    // With m_mutex held: waits until fillBuffer has something to say and returns how many
    // buffered bytes it may hand out (at most `capacity`, and within one page unless spanning).
    size_t waitForData(std::unique_lock<std::mutex>& lock, size_t capacity, bool& failed);
    // With m_mutex held: the first `count` buffered bytes are handed out.
    void handOut(size_t count);

    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_notFull, m_notEmpty;
    std::vector<char> m_ring;
    size_t m_head = 0;  // next byte to hand out
    size_t m_size = 0;  // bytes buffered
    uint64_t m_produced = 0, m_consumed = 0, m_durable = 0;
    std::deque<Mark> m_consumerMarks;  // not yet taken by the consumer
    std::deque<Mark> m_durableMarks;   // not yet durable
    uint64_t m_marksAdded = 0, m_marksAnnounced = 0;
    bool m_sessionStarted = false;
    std::string m_safeRestart;
    bool m_finished = false, m_failed = false, m_spanning = true;
    std::FILE* m_debugFile = nullptr;
    std::atomic<bool> m_stopRequested{false};
};
