#include "platform/Clock.h"

namespace platform {

// Nothing in the platform waits on the tick yet; the wait and timer services
// register here when they arrive.
void NotifyClockChanged() {}

} // namespace platform
