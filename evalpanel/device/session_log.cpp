#include "device/session_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// "hh:mm:ss.zzz", local time. localtime_r looks the time zone up once, not
// on every call as the date-time classes do (a file status per line).
QByteArray time_of_day() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour % 100,
                  local.tm_min % 100, local.tm_sec % 100,
                  static_cast<int>(now.tv_nsec / 1000000) % 1000);
    return QByteArray(text);
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
    const QByteArray stamp = time_of_day() + " [" + source.toUtf8() + "] ";
    QByteArray lines;
    for (const QString &line : text.split(QLatin1Char('\n')))
        lines += stamp + line.toUtf8() + '\n';
    bool was_empty = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= kMaxQueuedLines) {
            ++dropped_;
            return;
        }
        was_empty = queue_.empty();
        queue_.push_back(std::move(lines));
    }
    // Only an empty queue can have left the writer asleep.
    if (was_empty)
        wake_.notify_one();
}

bool SessionLog::flush(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    flushing_ = true;
    wake_.notify_one();
    const bool done = written_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                        [this] { return queue_.empty() && !writing_; });
    flushing_ = false;
    return done;
}

void SessionLog::write_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty() && stopping_)
            return;
        // Lines come in runs (a burst of console lines): gathering them for
        // a moment makes one write of many.
        if (!stopping_)
            wake_.wait_for(lock, std::chrono::milliseconds(kGatherMs),
                           [this] { return stopping_ || flushing_; });
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
                         .arg(QString::fromLatin1(time_of_day()))
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
