#include "device/session_log.h"

#include <QRegularExpression>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <chrono>
#include <string>

#include <algorithm>

#include "device/file_access.h"
#include "support/file_lock.h"
#include "support/local_time.h"
#include "support/regular_file.h"


namespace evalpanel {

namespace {

// The bytes written; fewer than all on an error (errno says which).
qsizetype write_all(int fd, const QByteArray &bytes) {
    return static_cast<qsizetype>(
        support::write_file(fd, bytes.constData(), static_cast<size_t>(bytes.size())));
}

// The order in which runs started, from a name "session-YYYYMMDD-HHMMSS.log"
// or, for a later run of the same second, "session-YYYYMMDD-HHMMSS-N.log".
std::pair<QString, int> start_order(const QString &name) {
    const QString stem = name.chopped(4); // ".log"
    const qsizetype dash = stem.lastIndexOf(QLatin1Char('-'));
    bool numbered = false;
    const int n = dash > 16 ? stem.mid(dash + 1).toInt(&numbered) : 0;
    return numbered ? std::make_pair(stem.left(dash), n) : std::make_pair(stem, 1);
}

// "hh:mm:ss.zzz", local time.
QByteArray time_of_day() {
    const support::TimeOfDay now = support::local_time_of_day();
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", now.hour % 100, now.minute % 100,
                  now.second % 100, now.millisecond % 1000);
    return QByteArray(text);
}

} // namespace

QString SessionLog::default_directory() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is ignored, as for every XDG variable.
    if (base.isEmpty() || QDir::isRelativePath(base)) {
#ifdef Q_OS_WIN
        // The user's local application data (%LOCALAPPDATA%), where Windows
        // programs keep what they log.
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
        base = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    }
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
    support::close_file(fd_);
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
        fd_ = support::create_new_file(system_file_name(path).constData(), &err);
    }
    if (fd_ < 0) {
        if (error != nullptr)
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(err)));
        return false;
    }
    path_ = path;
    // Held while this run lives: another run's pruning leaves the file be.
    support::lock_file(fd_);
    writer_ = std::thread([this] { write_loop(); });
    return true;
}

void SessionLog::prune(const QString &directory) const {
    // Oldest first; the new file is one of the kept. The log of a run that
    // still goes on is never removed, however old.
    QFileInfoList files = QDir(directory).entryInfoList(
        {QStringLiteral("session-*.log")}, QDir::Files | QDir::NoSymLinks);
    std::sort(files.begin(), files.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return start_order(a.fileName()) < start_order(b.fileName());
    });
    qsizetype excess = files.size() - (kKeptSessions - 1);
    for (qsizetype i = 0; i < files.size() && excess > 0; ++i) {
        const QByteArray path = system_file_name(files[i].filePath());
        if (support::file_locked(path.constData()))
            continue;
        if (QFile::remove(files[i].filePath()))
            --excess;
    }
}

void SessionLog::add(const QString &source, const QString &text) {
    if (fd_ < 0)
        return;
    const QByteArray stamp = time_of_day() + " [" + source.toUtf8() + "] ";
    // The command log stamps some lines itself ("hh:mm:ss : Application
    // started."): one time per line is enough, and this one has milliseconds.
    static const QRegularExpression own_stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d ?:? ?"));
    const bool from_log = source == QLatin1String("log");
    QByteArray lines;
    for (const QString &line : text.split(QLatin1Char('\n')))
        lines += stamp + (from_log ? QString(line).remove(own_stamp) : line).toUtf8() + '\n';
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

void SessionLog::write_out(const QByteArray &bytes) {
    if (failing_) {
        // The disk had no room: once it has, the file says what is missing
        // (on a line of its own, behind a line that broke off) and goes on.
        const QByteArray note =
            (broken_line_ ? QByteArrayLiteral("\n") : QByteArray()) +
            QStringLiteral("%1 [log] %2 lines lost: the disk was full\n")
                .arg(QString::fromLatin1(time_of_day()))
                .arg(lost_)
                .toUtf8();
        const qsizetype n = write_all(fd_, note);
        bytes_ += n;
        if (n < note.size()) {
            broken_line_ = broken_line_ || n > 0;
            lost_ += bytes.count('\n');
            return;
        }
        failing_ = broken_line_ = false;
        lost_ = 0;
    }
    const qsizetype n = write_all(fd_, bytes);
    bytes_ += n;
    if (n == bytes.size())
        return;
    const int error = errno;
    failing_ = true;
    broken_line_ = n > 0 && bytes.at(n - 1) != '\n';
    lost_ += bytes.mid(n).count('\n');
    if (!failure_said_) {
        failure_said_ = true;
        std::fprintf(stderr, "evalpanel: session log %s: %s; lines are lost until it can be "
                             "written again\n",
                     QFile::encodeName(path_).constData(), std::strerror(error));
    }
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
            write_out(bytes);
        }
        lock.lock();
        writing_ = false;
        written_.notify_all();
    }
}

} // namespace evalpanel
