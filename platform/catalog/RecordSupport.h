#pragma once
// What the record classes share: the catalog and configuration of their runtime, and the turning
// of a failed Status into a platform error code with its reason written to the debug log.
// Internal to platform/catalog.
#include <string>

#include "platform/catalog/Catalog.h"
#include "platform/catalog/InstallConfig.h"
#include "platform/runtime/Runtime.h"

namespace platform {
namespace catalog {

// 1168 for NotFound, 1627 for any other failure; the message goes to the runtime's debug log.
int recordFailure(Runtime& runtime, const char* functionName, const Status& status);

// True, with `value` set, when the configuration holds the value; false when it does not or
// there is no configuration (the reason is logged).
bool configurationValue(Runtime& runtime, const char* functionName, const std::string& section,
                        const std::string& name, std::string& value);

}  // namespace catalog
}  // namespace platform
