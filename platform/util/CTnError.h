#pragma once
// The error value of the agent operations: a Windows-style code, a message in words, and the
// code locations it passed through (where it was built first, then every caller that pushed
// its own). An empty CTnError is success. A plain value: copy it freely, from any thread.
//
// The codes in use:
//   14    out of memory
//   87    a bad object path or a table without a destination
//   774   preparation failed
//   1168  not found
//   1627  the operation failed
#include <string>
#include <vector>

#include "platform/util/Export.h"

struct AZT_API CTnCodeLocation {
    std::string file;      // the source file's base name
    std::string function;
    int line = 0;
};

// The location of the line it is written on.
#define CTN_LOCATION (CTnCodeLocation{__FILE__, __func__, __LINE__})

class AZT_API CTnError {
public:
    enum : int {
        kOutOfMemory = 14,
        kBadPathOrTable = 87,
        kPreparationFailed = 774,
        kNotFound = 1168,
        kOperationFailed = 1627,
    };

    CTnError() = default;
    CTnError(const CTnCodeLocation& where, int code, std::string message);

    bool isError() const { return m_code != 0; }
    bool isSuccess() const { return m_code == 0; }
    int getCode() const { return m_code; }
    const std::string& getMessage() const { return m_message; }

    // Adds a caller's location (the first is where the error was built).
    CTnError& pushLocation(const CTnCodeLocation& where);
    const std::vector<CTnCodeLocation>& locations() const { return m_locations; }

    // "<message> (error <code>: <meaning>) at <file>:<function>:<line> <- ..."; "success" when
    // there is no error.
    std::string toString() const;
    // Words for a code of the list above ("operation failed"); "error <code>" for others.
    static std::string describeCode(int code);

private:
    int m_code = 0;
    std::string m_message;
    std::vector<CTnCodeLocation> m_locations;
};

namespace FXErrorUtil {
// An error with `code` and a printf-style message, built at `where`.
AZT_API CTnError ErrorWin32(const CTnCodeLocation& where, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// `result` passed on from `where`: the same error with the location pushed (success stays
// success).
AZT_API CTnError ErrorKXResult(const CTnCodeLocation& where, const CTnError& result);
}  // namespace FXErrorUtil
