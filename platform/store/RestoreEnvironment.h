#pragma once
// The environment of one backup being restored: one table's backup folder in the store (see
// BackupFormat.h). Its name is the folder path, which messages quote.
//
//   createInput             the entity lines of every chunk the manifest lists, in order (read
//                           with BackupReader). Each chunk is checked against its recorded size,
//                           line count and CRC-32C before any of its lines is handed out; a
//                           damaged or missing chunk, or a backup that did not finish, fails the
//                           input (error() true, getLine false after the sound chunks before it)
//                           and is never replayed.
//   createDescriptionInput  description.json as the backup wrote it.
//   createMetadataInput     metadata.json.
//
// A restore environment has no outputs (createOutput and createDescriptionOutput return null).
// The data input is fed by a thread of its own, which reads ahead through a bounded buffer while
// the replay writes; the input stops and joins that thread when it is closed or destroyed.
// Log lines go to the process debug log (tagged with the folder) and to an optional sink;
// logMessage, reportFailure and linesDelivered may be called from any thread.
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/ida/IdaEnvironment.h"
#include "platform/store/BackupFormat.h"
#include "platform/store/FileSystem.h"
#include "platform/util/Export.h"

namespace platform {
namespace store {

class AZT_API RestoreEnvironment : public IdaEnvironment {
public:
    using LogSink = std::function<void(const std::string& environment, const char* functionName,
                                       const std::string& message)>;

    // `folder` is the backup folder of one table; `fs` must outlive the environment and its inputs.
    explicit RestoreEnvironment(const std::string& folder, FileSystem& fs = posixFileSystem());
    ~RestoreEnvironment() override;

    // Reads and checks the manifest. False with `error` set when there is no readable backup.
    bool open(std::string& error);
    // The manifest read by open() (empty before).
    const BackupManifest& manifest() const { return m_manifest; }

    void setLogSink(LogSink sink) { m_sink = std::move(sink); }
    // Entity lines handed out by this environment's data inputs so far.
    unsigned long long linesDelivered() const { return m_linesDelivered->load(); }
    // Read-ahead buffer of each data input, in bytes (tests make it small).
    void setReadAheadBytes(size_t bytes) { m_readAhead = bytes; }

    void logMessage(const char* functionName, const std::string& message) override;
    std::shared_ptr<IdaOutput> createOutput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaOutput> createDescriptionOutput() override;
    std::shared_ptr<IdaInput> createInput(const std::string& name, bool flag) override;
    std::shared_ptr<IdaInput> createMetadataInput() override;
    std::shared_ptr<IdaInput> createDescriptionInput() override;

private:
    std::shared_ptr<IdaInput> fileInput(bool metadata);

    std::string m_folder;
    FileSystem& m_fs;
    bool m_opened = false;
    BackupManifest m_manifest;
    LogSink m_sink;
    size_t m_readAhead;
    std::shared_ptr<std::atomic<unsigned long long>> m_linesDelivered;
};

}  // namespace store
}  // namespace platform
