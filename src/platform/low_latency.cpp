// Words for the outcome of a port's low-latency request, the same on every
// system, for the logs of the layers above.
#include "platform/platform.h"

namespace platform {

const char* LowLatencyText(LowLatency outcome) {
  switch (outcome) {
    case LowLatency::Set: return "set";
    case LowLatency::AlreadySet: return "already set";
    case LowLatency::Refused: return "refused";
    case LowLatency::Unavailable: break;
  }
  return "unavailable";
}

}  // namespace platform
