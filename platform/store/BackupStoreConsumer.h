#pragma once
// The consumer side of a buffered backup: a thread that drains an IdaBufferedOutput into the
// store's data output, so that fetching pages (the producer) and writing them to disk overlap.
//
// Ownership: the consumer holds references to the buffered output and the data output; both
// must outlive it (join before destroying either). Threads: start() launches one thread;
// join() waits for it. onPage runs on the consumer thread.
//
// It asks the buffered output not to span page boundaries, forwards every page boundary to the
// data output as a restart string, and after each one reports to the buffered output how much of
// the stream is durable, so getSafeRestartString() never names data that could still be lost.
// When the store fails, the buffered output is told (consumerFailed): the producer's next
// putString is refused and the scan ends with a reported failure.
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/ida/IdaBufferedOutput.h"
#include "platform/store/BackupJobEnvironment.h"
#include "platform/util/Export.h"

namespace platform {
namespace store {

class AZT_API BackupStoreConsumer {
public:
    BackupStoreConsumer(IdaBufferedOutput& source, BackupDataOutput& sink, size_t blockSize = size_t(1) << 20);
    ~BackupStoreConsumer();
    BackupStoreConsumer(const BackupStoreConsumer&) = delete;
    BackupStoreConsumer& operator=(const BackupStoreConsumer&) = delete;

    // Called after every page boundary the data output has taken, with the page count of this run.
    std::function<void(uint64_t pages)> onPage;

    void start();
    // Waits for the end of the data; true when every byte and boundary reached the data output.
    bool join();
    // Runs the loop on the calling thread (what start() runs).
    bool run();

private:
    IdaBufferedOutput& m_source;
    BackupDataOutput& m_sink;
    size_t m_blockSize;
    std::thread m_thread;
    bool m_result = false;
};

}  // namespace store
}  // namespace platform
