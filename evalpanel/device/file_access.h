// The files the bench tools read and write: only regular files (or a new
// file), opened without ever waiting, read up to a bound, saved whole or
// not at all. A FIFO, a device, a directory or a socket of that name, or a
// symbolic link to one, is refused with a message naming the file and what
// it is; it is never opened, waited for or replaced.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

namespace evalpanel {

// Configurations and the like are small: anything larger is not one.
constexpr qint64 kMaxTextFileBytes = 4 * 1024 * 1024;

// The whole file; nullopt with "cannot read PATH: WHY" otherwise.
std::optional<QByteArray> read_bounded_file(const QString &path, QString *error,
                                            qint64 limit = kMaxTextFileBytes);

// Writes `data` through a temporary file beside the target, renamed into
// place once complete: a failed save leaves the old file whole. The target
// of a symbolic link is what is replaced. false with "cannot write PATH:
// WHY" otherwise.
bool save_file_atomically(const QString &path, const QByteArray &data, QString *error);

// Opens `file` (named `path`) for a stream of writes: created or emptied,
// only if it is a regular file. false with "cannot write PATH: WHY".
bool open_stream_file(QFile &file, const QString &path, QString *error);

// The name as the system's narrow file functions (and support/) take it:
// UTF-8 on Windows, the locale's encoding elsewhere. Empty when the name
// has no such form.
QByteArray system_file_name(const QString &path);

} // namespace evalpanel
