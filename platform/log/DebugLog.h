#pragma once
// The process debug log: one file, one line per message, shared by every thread. Every line is
// scrubbed of secrets (access keys, signatures, Authorization headers) before it is written.
#include <string>

#include "platform/util/Export.h"

namespace platform {
namespace log {

// Sets the file that debug lines go to ("" = nowhere). Opened for append, created with 0600.
AZT_API void setDebugLogFile(const std::string& path);
AZT_API std::string debugLogFile();

// Writes "<time> <pid> <tid> <tag> <function>: <message>" to the debug log file.
AZT_API void writeDebugLine(const std::string& tag, const char* functionName, const std::string& message);

// Replaces every secret the text may hold (AccountKey=..., SharedKey account:signature,
// Authorization header values, sig= parameters, a signature the service quotes back in an
// authentication error, and any text registered below) with "***".
AZT_API std::string redact(const std::string& text);
// Registers a secret (an access key) that must never be written as it is.
AZT_API void registerSecret(const std::string& secret);

}  // namespace log
}  // namespace platform
