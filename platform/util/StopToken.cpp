#include "platform/util/StopToken.h"

namespace platform {

StopToken& stopToken() {
    // A plain static: constant-initialised, so even a signal arriving before main sees it.
    static StopToken token;
    return token;
}

}  // namespace platform
