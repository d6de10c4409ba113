// What the windows' export and save dialogs share: a default name that says
// what and when, the dialog's suffix on a name typed without one, and the
// writing itself off the GUI thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QObject;

namespace evalpanel {

// "telemetry-20261208-102100.png": `what`, the local date and time, `suffix`.
QString default_export_name(const char *what, const char *suffix);
// The chosen name, with `suffix` added when it has none, so that the file
// shows under the dialog's filter next time.
QString with_suffix(const QString &path, const char *suffix);
// Saves what `content` makes on a pool thread, as every save does (only a
// regular or new file, replaced whole), and hands the error ("" when saved)
// to `done` on `target`'s thread, unless `target` is gone by then.
void write_later(QObject *target, const QString &path, std::function<QByteArray()> content,
                 std::function<void(const QString &)> done);

} // namespace evalpanel
