// Developer trace of the register table's lookups and location parsing. Off
// by default; QT_LOGGING_RULES="evalpanel.registers.debug=true" turns it on.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcRegisters)
