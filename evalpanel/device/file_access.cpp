#include "device/file_access.h"

#include <QFileInfo>
#include <QSaveFile>

#include <string>


#include "support/regular_file.h"

namespace evalpanel {

namespace {

QString failure(const char *verb, const QString &path, const QString &why) {
    return QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(verb), path, why);
}

} // namespace

std::optional<QByteArray> read_bounded_file(const QString &path, QString *error, qint64 limit) {
    std::string data, why;
    if (!support::read_regular_file(system_file_name(path).constData(),
                                    static_cast<size_t>(limit), &data, &why)) {
        if (error != nullptr)
            *error = failure("read", path, QString::fromLocal8Bit(why.c_str()));
        return std::nullopt;
    }
    return QByteArray(data.data(), static_cast<qsizetype>(data.size()));
}

bool save_file_atomically(const QString &path, const QByteArray &data, QString *error) {
    const QByteArray name = system_file_name(path);
    if (const char *kind = support::non_regular_kind(name.constData())) {
        if (error != nullptr)
            *error = failure("write", path, QStringLiteral("it is %1").arg(QLatin1String(kind)));
        return false;
    }
    // A link to a file is kept a link: the file it names is replaced.
    const QFileInfo info(path);
    const QString target = info.isSymLink() && info.exists() ? info.canonicalFilePath() : path;
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error != nullptr)
            *error = failure("write", path, file.errorString());
        return false;
    }
    if (file.write(data) != data.size() || !file.commit()) {
        if (error != nullptr)
            *error = failure("write", path, file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

bool open_stream_file(QFile &file, const QString &path, QString *error) {
    std::string why;
    const int fd = support::open_regular_for_writing(system_file_name(path).constData(), &why);
    if (fd < 0) {
        if (error != nullptr)
            *error = failure("write", path, QString::fromLocal8Bit(why.c_str()));
        return false;
    }
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        support::close_file(fd);
        if (error != nullptr)
            *error = failure("write", path, file.errorString());
        return false;
    }
    return true;
}

QByteArray system_file_name(const QString &path) {
    return support::file_names_are_utf8() ? path.toUtf8() : QFile::encodeName(path);
}

} // namespace evalpanel
