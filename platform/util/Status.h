#pragma once
// The outcome of an operation of this project's own APIs (store, jobs, controller): a code that
// callers branch on and a message that says what happened in words, naming the folder, table or
// file concerned. A plain value: copy it freely, from any thread.
//
// The codes say what a caller can do next, not where the failure came from:
//   Ok        done
//   Failed    went wrong along the way (a refused request, a write that failed); running the
//             same operation again is the remedy
//   Refused   the request cannot be carried out as asked (a wrong chain of backups, a folder
//             holding something else, bounds that make no sense); nothing was changed
//   Stopped   stopped on request; what was done is kept and running again carries on
//   NotFound  what the request names is not there (a folder without a backup, a missing table)
//   Damaged   stored data failed its checks (length, checksum, a missing or unlisted file)
//   InUse     another process holds what the request needs (a backup writing a folder)
//   BadUsage  the caller's input is malformed (an option value, a table name)
#include <string>

#include "platform/util/Export.h"

namespace platform {

struct AZT_API Status {
    enum class Code { Ok, Failed, Refused, Stopped, NotFound, Damaged, InUse, BadUsage };

    Code code = Code::Ok;
    std::string message;

    Status() = default;
    Status(Code c, std::string text) : code(c), message(std::move(text)) {}

    bool ok() const { return code == Code::Ok; }
    static Status success(std::string text = std::string()) { return Status(Code::Ok, std::move(text)); }

    // The code as a lower-case word ("ok", "failed", "refused", ...), for scripts (--json).
    static const char* codeName(Code c);
    const char* codeName() const { return codeName(code); }
};

}  // namespace platform
