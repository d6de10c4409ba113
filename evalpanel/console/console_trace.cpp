#include "console_trace.h"

#include <cstdarg>

#include <QByteArray>

Q_LOGGING_CATEGORY(lcConsole, "evalpanel.console", QtInfoMsg)

namespace console {

void trace(const char *format, ...) {
    if (!lcConsole().isDebugEnabled())
        return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        va_end(args);
        return;
    }
    QByteArray text(length + 1, '\0');
    vsnprintf(text.data(), static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    text.truncate(length);
    qCDebug(lcConsole).noquote() << QString::fromLatin1(text);
}

} // namespace console
