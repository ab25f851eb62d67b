#include "platform/util/StopToken.h"

#include "platform/runtime/Runtime.h"

namespace platform {

StopToken& stopToken() { return defaultRuntime().stopToken(); }

}  // namespace platform
