#include "platform/log/DebugLog.h"

#include "platform/runtime/Runtime.h"
#include "platform/util/Text.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <algorithm>
#include <cctype>
#include <vector>

namespace platform {
namespace log {

DebugLog::DebugLog(std::function<long long()> wallMs) : m_wallMs(std::move(wallMs)) {}

DebugLog::~DebugLog() {
    if (m_fd >= 0) ::close(m_fd);
}

void DebugLog::setFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_path = path;
    if (!path.empty()) m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    m_open.store(m_fd >= 0, std::memory_order_relaxed);
}

std::string DebugLog::file() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

bool DebugLog::enabled() const { return m_open.load(std::memory_order_relaxed); }

void DebugLog::registerSecret(const std::string& secret) {
    if (secret.size() < 4) return;  // too short to tell apart from ordinary text
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& known : m_secrets)
        if (known == secret) return;
    m_secrets.push_back(secret);
}

namespace {

bool isStop(char c, const char* stops) {
    for (const char* s = stops; *s; ++s)
        if (c == *s) return true;
    return false;
}

// Masks what follows every occurrence of `marker` (up to a stop character) with "***".
void maskAfter(std::string& text, const std::string& marker, const char* stops, bool ignoreCase) {
    size_t from = 0;
    while (true) {
        size_t at;
        if (ignoreCase) {
            auto it = std::search(text.begin() + from, text.end(), marker.begin(), marker.end(),
                                  [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                              std::tolower(static_cast<unsigned char>(b)); });
            at = it == text.end() ? std::string::npos : static_cast<size_t>(it - text.begin());
        } else {
            at = text.find(marker, from);
        }
        if (at == std::string::npos) return;
        size_t begin = at + marker.size();
        while (begin < text.size() && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
        size_t end = begin;
        while (end < text.size() && !isStop(text[end], stops)) ++end;
        text.replace(begin, end - begin, "***");
        from = begin + 3;
    }
}

// "SharedKey account:signature" -> "SharedKey account:***".
void maskSharedKey(std::string& text, const std::string& scheme) {
    size_t from = 0;
    while ((from = text.find(scheme, from)) != std::string::npos) {
        size_t colon = from + scheme.size();
        while (colon < text.size() && !isStop(text[colon], ": \t\r\n\"")) ++colon;
        from += scheme.size();
        if (colon >= text.size() || text[colon] != ':') continue;
        size_t end = colon + 1;
        while (end < text.size() && !isStop(text[end], " \t\r\n\",")) ++end;
        text.replace(colon + 1, end - colon - 1, "***");
    }
}

}  // namespace

std::string DebugLog::redact(const std::string& text) const {
    std::string result = text;
    maskAfter(result, "AccountKey=", ";\r\n\" \t", true);
    maskAfter(result, "Authorization:", "\r\n\"", true);
    maskAfter(result, "?sig=", "&\r\n\" \t", true);
    maskAfter(result, "&sig=", "&\r\n\" \t", true);
    // A refused signature is quoted back by the service (AuthenticationErrorDetail, in JSON and
    // XML error bodies): "The MAC signature found in the HTTP request '<signature>' is not ...".
    maskAfter(result, "signature found in the HTTP request '", "'\"<&\r\n \t", true);
    maskAfter(result, "signature found in the HTTP request &apos;", "'\"<&\r\n \t", true);
    maskSharedKey(result, "SharedKeyLite ");
    maskSharedKey(result, "SharedKey ");
    std::vector<std::string> secrets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        secrets = m_secrets;
    }
    for (const auto& secret : secrets) {
        for (size_t at = result.find(secret); at != std::string::npos; at = result.find(secret, at + 3))
            result.replace(at, secret.size(), "***");
    }
    return result;
}

void DebugLog::writeLine(const std::string& tag, const char* functionName, const std::string& message) {
    if (!enabled()) return;
    // Debug lines stay readable and cheap: a multi-megabyte payload is cut to its start.
    static const size_t kMaxMessage = 4096;
    // Only what is written is scrubbed: the start, with a margin wider than any secret so that
    // one cut at the margin is still recognised (and masked to the end of what is kept).
    static const size_t kScrubMargin = 1024;
    std::string shown = message.size() > kMaxMessage + kScrubMargin
                            ? redact(message.substr(0, kMaxMessage + kScrubMargin))
                            : redact(message);
    if (shown.size() > kMaxMessage || message.size() > kMaxMessage + kScrubMargin)
        shown = shown.substr(0, kMaxMessage) + "... (" + std::to_string(message.size()) + " bytes)";
    std::string line = platform::text::isoTimestamp(m_wallMs ? m_wallMs() : 0) + " " + std::to_string(::getpid()) + " " +
                       std::to_string(static_cast<long>(::syscall(SYS_gettid))) + " " + tag + " " +
                       (functionName ? functionName : "-") + ": " + shown;
    if (line.empty() || line.back() != '\n') line += '\n';
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) return;
    size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::write(m_fd, line.data() + written, line.size() - written);
        if (n <= 0) return;  // a debug log that cannot be written must not stop the job
        written += static_cast<size_t>(n);
    }
}

void setDebugLogFile(const std::string& path) { defaultRuntime().log().setFile(path); }
std::string debugLogFile() { return defaultRuntime().log().file(); }
void writeDebugLine(const std::string& tag, const char* functionName, const std::string& message) {
    defaultRuntime().log().writeLine(tag, functionName, message);
}
std::string redact(const std::string& text) { return defaultRuntime().log().redact(text); }
void registerSecret(const std::string& secret) { defaultRuntime().log().registerSecret(secret); }

}  // namespace log
}  // namespace platform
