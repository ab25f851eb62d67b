#pragma once
// The page of an entity scan that is fetched while the caller reads the one before it.
//
// Ownership: owns one worker thread (started with the first request) and the one request and
// reply it holds. It sends through the function it was given, which must not be used by anyone
// else while a request is in flight: take and drop wait for that request before they return.
//
// Threads: one owner thread calls start, take and drop; the worker only sends. The destructor
// waits for a request in flight, then ends the worker.
//
// Failure: a reply, whatever its status, is kept as it came and handed to take; nothing is
// retried here (the send function does that).
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/http/AzureTableRequest.h"

namespace table_service {

class PageReadAhead {
public:
    using Send = std::function<AzureTableResponse(AzureTableRequest&)>;
    explicit PageReadAhead(Send send);
    ~PageReadAhead();
    PageReadAhead(const PageReadAhead&) = delete;
    PageReadAhead& operator=(const PageReadAhead&) = delete;

    // Sends `request` on the worker; `key` names it for take. Any request started before and
    // not taken is waited for and dropped first.
    void start(AzureTableRequest request, std::string key);
    // Waits for the request started, if any. True, with its reply in `response`, when it is the
    // one named `key`; false otherwise (nothing was started, or another request, now dropped).
    bool take(const std::string& key, AzureTableResponse& response);
    // Waits for the request started, if any, and forgets its reply.
    void drop();

private:
    void run();

    Send m_send;
    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;
    bool m_started = false;  // a request was handed over and not taken yet
    bool m_done = false;     // its reply is in m_response
    bool m_quit = false;
    std::string m_key;
    AzureTableRequest m_request;
    AzureTableResponse m_response;
    std::thread m_thread;
};

}  // namespace table_service
