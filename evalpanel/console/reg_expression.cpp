#include "reg_expression.h"

#include <algorithm>
#include <cstring>

#include "console/console_trace.h"
#include "registers/value_parse.h"
#include "device/device_session.h"
#include "registers/register_table.h"

namespace console {

namespace {

int transfer_failed(ConsoleHost &host, const evalpanel::DeviceSession &session) {
    host.console_print(session.have_adapter() ? QStringLiteral("I2C : NO ACK")
                                              : QStringLiteral("USB ERROR"));
    return 0;
}

} // namespace

int reg_expression(ConsoleHost &host, evalpanel::DeviceSession &session, const char *line) {
    if (!line || line[0] == '\0' || strnlen(line, kMaxExpressionLine + 1) > kMaxExpressionLine)
        return -1;

    // The name runs up to the first blank or "=" (a line feed ends the line).
    const size_t name_length = strcspn(line, " \t=\n");
    if (name_length == 0 || name_length > kMaxExpressionWord)
        return -1;
    char name[kMaxExpressionWord + 1];
    memcpy(name, line, name_length);
    name[name_length] = '\0';

    char definition[evalpanel::kLineSize];
    if (evalpanel::find_reg_by_name(name, definition, sizeof definition) < 0 &&
        evalpanel::make_numeric_access(name, definition, sizeof definition) == 0)
        return -1;

    const char *p = line + name_length;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '\0' || *p == '\n') {
        trace("query");
        host.append_command_log(QString::fromLatin1(name));
        const int64_t value = evalpanel::get_reg_value(session, definition);
        trace("retval=0x%08x", static_cast<unsigned>(value));
        if (value < 0)
            return transfer_failed(host, session);
        const unsigned v = static_cast<unsigned>(value);
        host.console_print(QString::asprintf("%s = 0x%02X ( %d%d%d%d %d%d%d%d )", name, v,
                                             (v >> 7) & 1, (v >> 6) & 1, (v >> 5) & 1, (v >> 4) & 1,
                                             (v >> 3) & 1, (v >> 2) & 1, (v >> 1) & 1, v & 1));
        return 1;
    }

    // Assignment: "=" is optional and may be doubled or spaced.
    while (*p == ' ' || *p == '=')
        ++p;
    // A value text too long to hold is refused, never cut: a cut text
    // would be another number.
    char value_text[kMaxExpressionWord + 1];
    const size_t value_length = strcspn(p, "\n");
    const bool fits = value_length <= kMaxExpressionWord;
    memcpy(value_text, p, fits ? value_length : 0);
    value_text[fits ? value_length : 0] = '\0';

    uint32_t value = 0;
    if (!fits || evalpanel::get_val(value_text, &value) != 0) {
        trace("get_val failed");
        host.console_print(
            QStringLiteral("value must be in hexadecimal,binary or decimal format."));
        return 0;
    }
    trace("0x%02X %d(dec)", value, static_cast<int>(value));
    const uint32_t maximum = evalpanel::get_reg_max(definition);
    trace("maximum value = %d", static_cast<int>(maximum));
    if (value > maximum) {
        host.console_print(
            QString::asprintf("value out of bounds. (0-%X) (0-%u dec)", maximum, maximum));
        return 0;
    }
    host.append_command_log(QString::asprintf("%s = 0x%X", name, value));
    if (evalpanel::set_reg_value(session, definition, value) < 0)
        return transfer_failed(host, session);
    return 1;
}

} // namespace console
