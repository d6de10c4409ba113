// Developer trace of the device access layer. Off by
// default; QT_LOGGING_RULES="evalpanel.device.debug=true" turns it on.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDevice)
