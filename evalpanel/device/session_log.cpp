#include "device/session_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTime>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <string>

#include <fcntl.h>
#include <unistd.h>


namespace evalpanel {

namespace {

bool write_all(int fd, const QByteArray &bytes) {
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

QString SessionLog::default_directory() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is ignored, as for every XDG variable.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/evalpanel");
}

SessionLog::~SessionLog() {
    if (!writer_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
    ::close(fd_);
}

bool SessionLog::open(const QString &directory, QString *error, const QDateTime &start) {
    if (fd_ >= 0)
        return true;
    if (!QDir().mkpath(directory)) {
        if (error != nullptr)
            *error = QStringLiteral("cannot make %1").arg(directory);
        return false;
    }
    const QString stem =
        directory + start.toString(QStringLiteral("'/session-'yyyyMMdd-HHmmss"));
    // Two runs started in the same second (kits side by side) each get a
    // file of their own: the name is taken only by creating it, so a name
    // another run took meanwhile is never shared, and nothing that stands
    // there already (a link, a FIFO) is ever opened.
    prune(directory);
    QString path;
    int err = EEXIST;
    for (int n = 1; fd_ < 0 && err == EEXIST && n < 100; ++n) {
        path = stem + (n == 1 ? QStringLiteral(".log") : QStringLiteral("-%1.log").arg(n));
        fd_ = ::open(QFile::encodeName(path).constData(),
                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        err = fd_ < 0 ? errno : 0;
    }
    if (fd_ < 0) {
        if (error != nullptr)
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(err)));
        return false;
    }
    path_ = path;
    writer_ = std::thread([this] { write_loop(); });
    return true;
}

void SessionLog::prune(const QString &directory) const {
    // Names sort by their start time; the new file is one of the kept.
    const QFileInfoList files = QDir(directory).entryInfoList(
        {QStringLiteral("session-*.log")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
    for (qsizetype i = 0; i + kKeptSessions - 1 < files.size(); ++i)
        QFile::remove(files[i].filePath());
}

void SessionLog::add(const QString &source, const QString &text) {
    if (fd_ < 0)
        return;
    const QByteArray stamp =
        QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toUtf8() + " [" +
        source.toUtf8() + "] ";
    QByteArray lines;
    for (const QString &line : text.split(QLatin1Char('\n')))
        lines += stamp + line.toUtf8() + '\n';
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= kMaxQueuedLines) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(lines));
    }
    wake_.notify_one();
}

bool SessionLog::flush(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return written_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return queue_.empty() && !writing_; });
}

void SessionLog::write_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty() && stopping_)
            return;
        std::deque<QByteArray> batch;
        batch.swap(queue_);
        const size_t dropped = dropped_;
        dropped_ = 0;
        writing_ = true;
        lock.unlock();
        QByteArray bytes;
        for (const QByteArray &b : batch)
            bytes += b;
        if (dropped > 0)
            bytes += QStringLiteral("%1 [log] %2 lines lost: the disk did not keep up\n")
                         .arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")))
                         .arg(dropped)
                         .toUtf8();
        if (!full_) {
            if (bytes_ + bytes.size() > kMaxBytes) {
                // The file ends with why it ends.
                bytes = QByteArrayLiteral("session log limit reached: nothing more is written\n");
                full_ = true;
            }
            if (write_all(fd_, bytes))
                bytes_ += bytes.size();
        }
        lock.lock();
        writing_ = false;
        written_.notify_all();
    }
}

} // namespace evalpanel
