#include "platform/util/CTnError.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

CTnCodeLocation shortened(const CTnCodeLocation& where) {
    CTnCodeLocation copy = where;
    copy.file = baseName(copy.file);
    return copy;
}

}  // namespace

CTnError::CTnError(const CTnCodeLocation& where, int code, std::string message)
    : m_code(code), m_message(std::move(message)) {
    m_locations.push_back(shortened(where));
}

CTnError& CTnError::pushLocation(const CTnCodeLocation& where) {
    m_locations.push_back(shortened(where));
    return *this;
}

std::string CTnError::describeCode(int code) {
    switch (code) {
    case kOutOfMemory: return "out of memory";
    case kBadPathOrTable: return "bad object path or table without a destination";
    case kPreparationFailed: return "preparation failed";
    case kNotFound: return "not found";
    case kOperationFailed: return "operation failed";
    default: return "error " + std::to_string(code);
    }
}

std::string CTnError::toString() const {
    if (!isError()) return "success";
    std::string text = m_message + " (error " + std::to_string(m_code) + ": " + describeCode(m_code) + ")";
    const char* joint = " at ";
    for (const auto& where : m_locations) {
        text += joint + where.file + ":" + where.function + ":" + std::to_string(where.line);
        joint = " <- ";
    }
    return text;
}

namespace FXErrorUtil {

CTnError ErrorWin32(const CTnCodeLocation& where, int code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0) std::vsnprintf(&message[0], message.size() + 1, format, args);
    va_end(args);
    return CTnError(where, code, std::move(message));
}

CTnError ErrorKXResult(const CTnCodeLocation& where, const CTnError& result) {
    CTnError passed = result;
    if (passed.isError()) passed.pushLocation(where);
    return passed;
}

}  // namespace FXErrorUtil
