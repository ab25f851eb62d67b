#include "platform/http/RetryPolicy.h"

#include <cctype>

namespace platform {
namespace http {

const unsigned long long RetryPolicy::kInitialBackoffMs;
const unsigned long long RetryPolicy::kMaxBackoffMs;
const unsigned long long RetryPolicy::kMaxRetryAfterMs;
const unsigned int RetryPolicy::kUnreachableAttempts;

bool RetryPolicy::isTransient(int status, bool emulator, const std::string& body) {
    switch (status) {
        case 0:
        case 408:
        case 429:
        case 503:
            return true;
        case 500:
            return !emulator || body.find_first_not_of(" \t\r\n") != std::string::npos;
        default:
            return false;
    }
}

bool RetryPolicy::mayHaveLanded(int status, bool unreachable) {
    if (status == 0) return !unreachable;
    return status == 408 || status == 500 || status == 503 || (status >= 200 && status < 300);
}

unsigned long long RetryPolicy::backoffMs(unsigned int attempt, double random01) {
    unsigned long long base = kInitialBackoffMs;
    for (unsigned int i = 1; i < attempt && base < kMaxBackoffMs; ++i) base *= 2;
    if (base > kMaxBackoffMs) base = kMaxBackoffMs;
    if (random01 < 0) random01 = 0;
    if (random01 >= 1) random01 = 0.999999;
    unsigned long long half = base / 2;
    return half + static_cast<unsigned long long>(static_cast<double>(base - half) * random01);
}

bool RetryPolicy::retryAfterMs(const std::map<std::string, std::string>& headers, unsigned long long& ms) {
    auto found = headers.find("retry-after");
    if (found == headers.end()) return false;
    const std::string& text = found->second;
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    unsigned long long seconds = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        seconds = seconds * 10 + static_cast<unsigned long long>(text[i] - '0');
        if (seconds * 1000 > kMaxRetryAfterMs) {
            ms = kMaxRetryAfterMs;
            return true;
        }
    }
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i != text.size()) return false;
    ms = seconds * 1000;
    return true;
}

}  // namespace http
}  // namespace platform
