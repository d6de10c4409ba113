// Register expressions: a console line that begins with a register or field
// name, or a numeric address form (0x12, 0x12[7], 0x12[3:0]), reads it
// ("VSET_B0") or assigns it ("VSET_B0 = 0x20", "VSET_B0 5", "0x12[3:0]=b1010").
#pragma once

#include "console/console_host.h"

namespace evalpanel {
class DeviceSession;
}

namespace console {

// Longest name or value text that an expression accepts.
constexpr int kMaxExpressionWord = 63;
// Longest line that can be an expression.
constexpr int kMaxExpressionLine = 256;

// Gives -1 when the line is not a register expression, 1 when it handled the
// line, 0 when it handled it and failed (a bad value, a transfer that
// failed: "USB ERROR" without adapter, else "I2C : NO ACK"). Messages go to
// the console, records to the command log.
int reg_expression(ConsoleHost &host, evalpanel::DeviceSession &session, const char *line);

} // namespace console
