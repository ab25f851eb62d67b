#pragma once
// Which replies the transport tries again, and how long it waits first. Stateless.
#include <map>
#include <string>

#include "platform/util/Export.h"

namespace platform {
namespace http {

struct AZT_API RetryPolicy {
    static const unsigned long long kInitialBackoffMs = 500;
    static const unsigned long long kMaxBackoffMs = 30000;
    // A Retry-After beyond this is not waited for in full; the attempt limit still applies.
    static const unsigned long long kMaxRetryAfterMs = 120000;
    // Attempts in all for an exchange whose host cannot be reached (see HttpReply::Failure).
    static const unsigned int kUnreachableAttempts = 3;

    // Transient: no HTTP reply (0), 408, 429, 500, 503. On the emulator a 500 without a body
    // is final: that is how it answers requests it cannot parse, where the service answers 400.
    // Its 500 with an error body (OperationTimedOut, ...) is retried as on the service.
    static bool isTransient(int status, bool emulator = false, const std::string& body = std::string());

    // Whether a failed attempt with this outcome may still have been carried out by the service:
    // no reply after the request may have gone out (not a refused connection), 408, 500, 503.
    static bool mayHaveLanded(int status, bool unreachable);

    // The wait after failed attempt `attempt` (1-based): 500 ms doubling per attempt, capped at
    // 30 s, with "equal jitter": half fixed, half scaled by `random01` in [0, 1).
    static unsigned long long backoffMs(unsigned int attempt, double random01);

    // The reply's Retry-After in milliseconds when it holds a number of seconds (capped).
    static bool retryAfterMs(const std::map<std::string, std::string>& headers, unsigned long long& ms);
};

}  // namespace http
}  // namespace platform
