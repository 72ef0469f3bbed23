// The native build has no Task Scheduler, so it holds no task.
#include "os/os.h"

namespace tesmora::os {

std::optional<bool> ScheduledTaskRegistered(const std::wstring&) { return false; }

}  // namespace tesmora::os
