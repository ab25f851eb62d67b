#pragma once
// An input over one small text held in memory (a description, a metadata file). An unreadable
// one reports error() and yields nothing. One reader at a time.
#include <string>

#include "platform/ida/IdaInput.h"
#include "platform/util/Export.h"

class AZT_API IdaTextInput : public IdaInput {
public:
    explicit IdaTextInput(std::string text, bool readable = true);

    bool error() override;
    // The text's lines without their line feeds; a final line feed ends the last line.
    bool getLine(std::string& line) override;
    void close() override;
    bool getContents(std::string& contents) override;

private:
    std::string m_text;
    bool m_readable;
    size_t m_position = 0;
};
