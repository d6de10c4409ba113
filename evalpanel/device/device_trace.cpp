#include "device/device_trace.h"

// Info and above are on by default; the debug-level trace lines are off until
// a logging rule enables them.
Q_LOGGING_CATEGORY(lcDevice, "evalpanel.device", QtInfoMsg)
