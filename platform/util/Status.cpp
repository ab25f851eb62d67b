#include "platform/util/Status.h"

namespace platform {

const char* Status::codeName(Code c) {
    switch (c) {
        case Code::Ok: return "ok";
        case Code::Failed: return "failed";
        case Code::Refused: return "refused";
        case Code::Stopped: return "stopped";
        case Code::NotFound: return "not-found";
        case Code::Damaged: return "damaged";
        case Code::InUse: return "in-use";
        case Code::BadUsage: return "bad-usage";
    }
    return "failed";
}

}  // namespace platform
