#pragma once
// Small string, path and directory operations the agent code calls. Stateless, thread-safe.
#include <string>
#include <vector>

#include "platform/util/Export.h"

class AZT_API FXString {
public:
    // Splits `text` at every occurrence of `separator` into `fields` (replaced), empty fields
    // included: "/a//b" gives "", "a", "", "b"; "" gives one empty field. `flags` is reserved
    // (pass 0). Returns the number of fields. An empty separator gives the text as one field.
    static int Split(const std::string& text, const std::string& separator,
                     std::vector<std::string>& fields, int flags = 0);
};

class AZT_API FXPath {
public:
    // `base` and `part` joined by exactly one "/" ("/a/" + "/b" is "/a/b"); an empty side gives
    // the other unchanged.
    static std::string Append(const std::string& base, const std::string& part);
};

class AZT_API CTnDirectory {
public:
    // Creates the directory `path` (mode 0700), with its missing parents when `createParents`.
    // 0 when it exists afterwards (created or already there), else minus the errno of the step
    // that failed (a file in the way gives -ENOTDIR or -EEXIST).
    static int Create(const std::string& path, bool createParents);
};
