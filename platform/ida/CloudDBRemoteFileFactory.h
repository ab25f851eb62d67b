#pragma once
// What a restore plug-in is given and gives back, as a platform drives it: the connection
// details of the restore (the destination instance and the extended options), and the base of
// a plug-in factory that holds the current input, which the platform takes to feed each backed-up
// object into.
//
// Ownership: the factory shares ownership of its current input with whoever took it. Threads: a
// factory is driven from one thread; the input it hands out is then fed and read as
// IdaBufferedInput says.
#include <map>
#include <memory>
#include <string>

#include "platform/ida/IdaBufferedInput.h"
#include "platform/util/Export.h"

// Extended options: named texts of any content, in one string. The string form is a sequence of
// "<length of name>:<name><length of value>:<value>" items, so names and values may hold any
// byte (XML messages included).
class AZT_API CExtendedOptions {
public:
    CExtendedOptions() = default;
    // Reads the string form; a malformed tail is ignored (its options are absent).
    explicit CExtendedOptions(const std::string& text);

    // The value of `name`, "" when absent.
    std::string getOption(const std::string& name) const;
    bool hasOption(const std::string& name) const { return m_options.count(name) != 0; }
    void setOption(const std::string& name, const std::string& value) { m_options[name] = value; }
    // The string form.
    std::string toString() const;

private:
    std::map<std::string, std::string> m_options;
};

struct AZT_API CloudConnectionDetails {
    unsigned long destinationInstanceId = 0;  // the instance whose accounts receive the data
    std::string extendedOptions;              // CExtendedOptions string form
};

class AZT_API CloudDBRemoteFileFactory {
public:
    virtual ~CloudDBRemoteFileFactory();

    // The input the platform feeds the current object into (null before the first object).
    virtual std::shared_ptr<IdaBufferedInput> createObject() { return m_currentInput; }
    std::shared_ptr<IdaBufferedInput> currentInput() const { return m_currentInput; }

protected:
    std::shared_ptr<IdaBufferedInput> m_currentInput;
};
