// The JUnit XML report of a batch run (--junit FILE): one testcase per
// expect that ran, named FILE:LINE of the innermost script, and one for an
// error that stopped the run, so that a CI system shows it as well.
#pragma once

#include <QByteArray>
#include <QString>

#include "console/console_engine.h"

namespace evalpanel {

// `script` names the suite; `result` is what the run found (its message,
// when not ok, the error that stopped it: no adapter, a failing command);
// `seconds` the run's time.
QByteArray junit_report(const QString &script, const console::ConsoleEngine::BatchResult &result,
                        double seconds);

} // namespace evalpanel
