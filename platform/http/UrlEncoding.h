#pragma once
// Percent-encoding for the request URLs the transport sends. Stateless, thread-safe.
#include <string>

#include "platform/util/Export.h"

namespace platform {
namespace http {

// Encodes every byte outside the unreserved set (A-Z a-z 0-9 - . _ ~) as %XX. For one query
// value or path segment.
AZT_API std::string percentEncode(const std::string& value);

// Decodes %XX sequences; a '%' not followed by two hex digits stays as it is.
AZT_API std::string percentDecode(const std::string& text);

// The URL as given, except that bytes which may not appear in a URL at all (control characters,
// space, bytes >= 0x80, '"', '<', '>', '\', '^', '`', '{', '|', '}', '#') and a '%' that does not
// start a %XX escape are percent-encoded. Already encoded text is left alone, so applying this
// twice changes nothing more.
AZT_API std::string encodeIllegalUrlCharacters(const std::string& url);

}  // namespace http
}  // namespace platform
