#include "platform/catalog/EvEvent.h"

#include "platform/catalog/RecordSupport.h"

EvEvent::EvEvent(platform::Runtime& runtime) : m_runtime(runtime) {}

void EvEvent::addArgument(int, const std::string& text) { m_arguments.push_back(text); }

int EvEvent::MinorEvent(unsigned long eventId, long long jobId, int) {
    return raise(platform::catalog::EventRecord::Minor, eventId, jobId);
}

int EvEvent::MajorEvent(unsigned long eventId, long long jobId, int) {
    return raise(platform::catalog::EventRecord::Major, eventId, jobId);
}

int EvEvent::CriticalEvent(unsigned long eventId, long long jobId, int) {
    return raise(platform::catalog::EventRecord::Critical, eventId, jobId);
}

int EvEvent::raise(int severity, unsigned long eventId, long long jobId) {
    std::string text;
    for (const std::string& argument : m_arguments) {
        if (!text.empty()) text += ' ';
        text += argument;
    }
    m_arguments.clear();

    platform::catalog::EventRecord event;
    event.time = m_runtime.wallSeconds();
    event.jobId = jobId;
    event.severity = severity;
    event.eventId = eventId;
    event.message = m_runtime.log().redact(text);
    platform::catalog::Catalog* catalog = nullptr;
    long long id = 0;
    platform::Status status = m_runtime.catalog(catalog);
    if (status.ok()) status = catalog->addEvent(event, id);
    if (!status.ok()) {
        // The event itself goes to the debug log so that it is not lost with the catalog.
        status.message += "; the event was: " + event.message;
        return platform::catalog::recordFailure(m_runtime, "EvEvent", status);
    }
    return 0;
}
