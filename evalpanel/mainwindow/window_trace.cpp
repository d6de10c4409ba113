#include "window_trace.h"

Q_LOGGING_CATEGORY(lcWindow, "evalpanel.window", QtInfoMsg)
