// Developer trace of the main window. Off by default;
// QT_LOGGING_RULES="evalpanel.window.debug=true" turns it on.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcWindow)
