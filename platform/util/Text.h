#pragma once
// Small text helpers shared by the platform pieces. Stateless, thread-safe.
#include <string>

#include "platform/util/Export.h"

namespace platform {
namespace text {

// Without leading and trailing spaces, tabs, CRs and LFs.
AZT_API std::string trim(const std::string& value);
// ASCII lower case.
AZT_API std::string toLower(std::string value);
// Equal but for ASCII case (header names, table names).
AZT_API bool equalsIgnoreCase(const std::string& a, const std::string& b);
// The current UTC time as 2026-12-06T07:43:20.123456Z.
AZT_API std::string isoTimestampNow();
// The same for a time given in milliseconds since 1970.
AZT_API std::string isoTimestamp(long long millisecondsSince1970);

// A point in time as a person types it: whole seconds since 1970-01-01 UTC ("1796000000"), or an
// ISO 8601 date and time in UTC or with an offset ("2026-12-06T10:00:00Z",
// "2026-12-06T11:00:00.5+01:00", "2026-12-06" for midnight UTC); fractions of a second are cut
// off. False with `error` in words for anything else, including a time before 1970.
AZT_API bool parseTimeText(const std::string& text, long long& seconds, std::string& error);

}  // namespace text
}  // namespace platform
