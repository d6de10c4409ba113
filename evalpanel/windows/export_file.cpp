#include "export_file.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>

#include "device/file_access.h"

namespace evalpanel {

QString default_export_name(const char *what, const char *suffix) {
    return QStringLiteral("%1-%2.%3")
        .arg(QLatin1String(what),
             QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")),
             QLatin1String(suffix));
}

QString with_suffix(const QString &path, const char *suffix) {
    if (path.isEmpty() || !QFileInfo(path).suffix().isEmpty())
        return path;
    return path + QLatin1Char('.') + QLatin1String(suffix);
}

void write_later(QObject *target, const QString &path, std::function<QByteArray()> content,
                 std::function<void(const QString &)> done) {
    QPointer<QObject> guard(target);
    QThreadPool::globalInstance()->start([guard, path, content = std::move(content),
                                          done = std::move(done)] {
        QString error;
        save_file_atomically(path, content(), &error);
        if (guard)
            QMetaObject::invokeMethod(guard.data(), [done, error] { done(error); });
    });
}

} // namespace evalpanel
