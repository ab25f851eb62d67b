#pragma once
// A data stream that a restore reads from, line by line or whole.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/util/Export.h"

class AZT_API IdaInput {
public:
    virtual ~IdaInput();

    // True when delivering the data failed (a damaged or unreadable object).
    virtual bool error() = 0;
    // The next line without its line feed, in order; false at the end of the object.
    virtual bool getLine(std::string& line) = 0;
    // The next lines, in order, as getLine would hand them out one by one, put into lines[0, n)
    // (`lines` grown where it is shorter): at least one, at most `maxLines`, and no more once
    // they hold `maxBytes` bytes. Returns n; 0 where getLine would return false. The strings are
    // assigned to, so their storage is reused, and `lines` never shrinks: what lies beyond n is
    // left as it was, for later calls. The default calls getLine, waiting for each line; inputs
    // that can hand out many lines under one lock override it.
    virtual size_t getLines(std::vector<std::string>& lines, size_t maxLines, size_t maxBytes);
    virtual void close() = 0;
    // The whole content: every line joined with line feeds. False when it cannot be read.
    virtual bool getContents(std::string& contents);

protected:
    // Whether getLines takes one more line, with `count` lines of `bytes` bytes taken so far.
    static bool takesMore(size_t count, size_t bytes, size_t maxLines, size_t maxBytes) {
        return count == 0 || (count < maxLines && bytes < maxBytes);
    }
};
