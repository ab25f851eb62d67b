#pragma once
// A data stream that a backup writes into. Owned by whoever created it (usually through a
// shared_ptr from IdaEnvironment); used by one producer thread at a time.
#include <cstddef>
#include <string>

#include "platform/util/Export.h"

class IdaEnvironment;

class AZT_API IdaOutput {
public:
    IdaOutput(const std::string& name, IdaEnvironment* environment);
    virtual ~IdaOutput();

    // Appends `text`; false means the output refused it (nothing of it counts as written).
    virtual bool putString(const std::string& text) = 0;
    // The same for data[0, size); by default through putString. Outputs that can take the bytes
    // where they stand override it and spare the producer a copy.
    virtual bool putBytes(const char* data, size_t size);
    // The restart point of everything written so far.
    virtual void updateRestart(const std::string& restart) = 0;
    virtual bool flush() = 0;
    // Ends the output with its final restart string.
    virtual bool close(const std::string& restart) = 0;
    // True when the producer is to stop at its next page boundary; by default once a stop is
    // requested on the environment's runtime.
    virtual bool stopNow();

    const std::string& getName() const { return m_name; }
    IdaEnvironment* getEnvironment() const { return m_environment; }

protected:
    std::string m_name;
    IdaEnvironment* m_environment;
};
