#pragma once
// A data stream that a restore reads from, line by line or whole.
#include <string>

#include "platform/util/Export.h"

class AZT_API IdaInput {
public:
    virtual ~IdaInput();

    // True when delivering the data failed (a damaged or unreadable object).
    virtual bool error() = 0;
    // The next line without its line feed, in order; false at the end of the object.
    virtual bool getLine(std::string& line) = 0;
    virtual void close() = 0;
    // The whole content: every line joined with line feeds. False when it cannot be read.
    virtual bool getContents(std::string& contents);
};
