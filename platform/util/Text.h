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
// The current UTC time as 2026-12-06T07:43:20.123456Z.
AZT_API std::string isoTimestampNow();

}  // namespace text
}  // namespace platform
