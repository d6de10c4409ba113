// The session log: every run of the program writes one file,
// $XDG_STATE_HOME/evalpanel/session-YYYYMMDD-HHMMSS.log (by default under
// ~/.local/state), with every command-log line and every console line, each
// with its source and a "hh:mm:ss.mmm" time of day. The last kKeptSessions
// runs are kept, each at most kMaxBytes long; a run's own file is locked
// while it runs and is never removed by another.
//
// Lines are queued by whoever has one, on any thread, and written by a
// thread of the log's own: nobody waits for the disk. A disk that does not
// keep up loses lines (counted, and said in the file) rather than memory.
#pragma once

#include <QDateTime>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace evalpanel {

class SessionLog {
  public:
    static constexpr int kKeptSessions = 20;
    static constexpr int64_t kMaxBytes = 20 * 1024 * 1024;
    static constexpr size_t kMaxQueuedLines = 100000;
    // How long the writer gathers lines before it writes them.
    static constexpr int kGatherMs = 50;

    // $XDG_STATE_HOME/evalpanel, or ~/.local/state/evalpanel.
    static QString default_directory();

    SessionLog() = default;
    // Writes what is queued, then ends the writer.
    ~SessionLog();
    SessionLog(const SessionLog &) = delete;
    SessionLog &operator=(const SessionLog &) = delete;

    // Starts a new file in `directory` (made when missing) named by
    // `start`, and removes the oldest session files beyond the kept
    // number. false with a message naming the file when it cannot.
    bool open(const QString &directory, QString *error,
              const QDateTime &start = QDateTime::currentDateTime());
    QString path() const { return path_; }

    // Thread-safe; never waits for the disk. Each line of `text` becomes
    // "hh:mm:ss.mmm [source] line". Nothing happens before open().
    void add(const QString &source, const QString &text);

    // Waits at most `timeout_ms` until everything added is written.
    bool flush(int timeout_ms);

  private:
    void write_loop();
    void prune(const QString &directory) const;
    // Writes on the writer's thread; a write that fails (a full disk) is
    // said once on stderr, and in the file once it can be written again.
    void write_out(const QByteArray &bytes);

    QString path_;
    int fd_ = -1;
    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<QByteArray> queue_;
    bool stopping_ = false;
    bool writing_ = false;
    bool flushing_ = false;
    size_t dropped_ = 0;
    int64_t bytes_ = 0;
    bool full_ = false;
    bool failing_ = false;
    bool broken_line_ = false;
    bool failure_said_ = false;
    qsizetype lost_ = 0;
};

} // namespace evalpanel
