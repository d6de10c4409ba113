// The network console relay: a TCP server on 127.0.0.1 that takes one client
// at a time, on the GUI thread beside the console it feeds (its sockets never
// block). What the client sends is typed into the console as keys; what the
// console prints is sent back to it as it arrives, also while a script runs.
//
// It never holds more than it must:
// - input is read while at most kMaxInput bytes wait (beyond that the
//   client's sending slows down) and handed to the console a line at a time,
//   at most kChunk bytes and kTurnMs per turn of the event loop, and only
//   while no command runs; the
//   byte 0x03 is looked for meanwhile and stops the running command;
// - output waiting for a slow client is bounded by kMaxOutput: output that
//   does not fit is dropped, and the client is told how much once there is
//   room again (later answers still reach it); a line longer than
//   kMaxMessage is cut, with a note.
// A line that starts with the byte 0x1E is the client's end-of-answer
// marker, not a command: once everything sent before it has run, the rest of
// the line comes back as one line, and the console never sees it (so a
// client knows where an answer ends without an echo in the console and the
// log; clients that send `echo` lines for this keep working).
// A client that shuts its sending side still gets the answers to what it
// sent; a client that is gone (closed, reset, killed) stops what it started
// and loses what it queued. Whatever a client leaves unfinished in the
// editor never reaches the next client. Only processes of the user running
// the program may connect, unless any user is allowed; a client turned
// away is told why in one line first.
#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;
class QTcpServer;

namespace console {

class Console;

class Relay : public QObject {
    Q_OBJECT

  public:
    static constexpr quint16 kDefaultPort = 23456;
    static constexpr qsizetype kChunk = 512;
    static constexpr qint64 kTurnMs = 20;
    static constexpr qsizetype kMaxInput = 64 * 1024;
    static constexpr qsizetype kMaxOutput = 1024 * 1024;
    // Longest line sent as it is; a longer one is cut.
    static constexpr qsizetype kMaxMessage = 64 * 1024;
    // Starts a marker line; a longer "marker" is typed as keys.
    static constexpr char kMarker = '\x1e';
    static constexpr qsizetype kMaxMarker = 256;

    Relay(Console &console, QObject *parent = nullptr);
    ~Relay() override;

    // Starts listening on 127.0.0.1; false when the port is taken (the
    // program then runs without a relay).
    bool listen(quint16 port = kDefaultPort);
    QTcpServer *server() const { return server_; }
    bool has_client() const { return fd_ >= 0; }
    // Bytes received and not yet handed to the console, and bytes waiting
    // for the client to read them.
    qsizetype waiting_input() const { return input_.size(); }
    qsizetype waiting_output() const { return output_.size(); }
    // Lets processes of other users connect too.
    void set_allow_any_user(bool allow) { allow_any_user_ = allow; }

    // Sends a printed line to the client, when one is connected.
    void send(const QByteArray &bytes);

    // The relay's steps, also reachable as the window's slots.
    void new_connection();
    void connection_closed();
    void data_available();

  signals:
    // "Network client connected.", "Network client disconnected." and the
    // refusal of another user's client.
    void client_message(const QString &line);

  private:
    void accept(qintptr fd);
    void take(qintptr fd);
    void read_input();
    void look_for_stop();
    void watch_peer();
    void schedule_pump();
    void pump();
    bool incomplete_marker() const;
    void write_output();
    void finish_if_done();
    void drop_client(bool broken);

    Console &console_;
    QTcpServer *server_ = nullptr;
    qintptr fd_ = -1;
    // A client that came while the last one, done sending, still had
    // answers coming: let in once that one is gone, or turned away after
    // kNextClientWaitMs.
    qintptr next_fd_ = -1;
    unsigned next_turn_ = 0;
    static constexpr int kNextClientWaitMs = 2000;
    // How often a client that has finished sending is looked at, to stop
    // its command once it has gone.
    static constexpr int kPeerCheckMs = 200;
    QSocketNotifier *read_notifier_ = nullptr;
    QSocketNotifier *write_notifier_ = nullptr;
    QByteArray input_;
    QByteArray output_;
    bool end_of_input_ = false;
    // Bytes dropped since the client was last told.
    qsizetype dropped_ = 0;
    bool pump_scheduled_ = false;
    bool pumping_ = false;
    // A command the client sent is running (its answers are still due).
    bool running_own_ = false;
    // A client that came while the previous one's command still ran hears
    // nothing of that command.
    bool muted_ = false;
    bool allow_any_user_ = false;
    bool refusal_logged_ = false;
};

} // namespace console
