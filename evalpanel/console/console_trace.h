// Developer trace lines of the console. They go to the "evalpanel.console"
// logging category, which is off unless QT_LOGGING_RULES turns it on; the
// formatting is skipped entirely while it is off.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcConsole)

namespace console {

// printf-style trace line; costs one flag test when tracing is off.
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace console
