#include "console/relay.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QScopedValueRollback>
#include <QTimer>

#include <cstdio>

#include "console/console.h"
#include "console/console_trace.h"
#include "support/loopback_peer.h"
#include "support/peer_gone.h"
#include "support/socket_io.h"

namespace console {

namespace {

// Hands each accepted connection over as a plain descriptor: the relay does
// its own reading and writing, so that a client's half-closed connection
// stays open for the answers.
class DescriptorServer : public QTcpServer {
  public:
    DescriptorServer(std::function<void(qintptr)> take, QObject *parent)
        : QTcpServer(parent), take_(std::move(take)) {}

  protected:
    void incomingConnection(qintptr fd) override { take_(fd); }

  private:
    std::function<void(qintptr)> take_;
};

// Said to a client before it is turned away, so that it knows why.
const QByteArray kBusyLine = "relay: busy: another client is connected\n";
const QByteArray kOtherUserLine =
    "relay: refused: only processes of the user running the program may connect\n";

void refuse(qintptr fd, const QByteArray &line) {
    support::socket_set_nonblocking(fd);
    support::socket_send(fd, line.constData(), static_cast<size_t>(line.size()));
    // Whatever it sent already is read away first: closing on unread input
    // resets the connection, and a reset may overtake the line.
    char buffer[4096];
    while (support::socket_receive(fd, buffer, sizeof buffer) > 0) {
    }
    support::socket_shutdown_send(fd);
    support::socket_close(fd);
}

const QString kDroppedNote =
    QStringLiteral("relay: %1 bytes of output dropped, the client did not read them\n");

} // namespace

Relay::Relay(Console &console, QObject *parent)
    : QObject(parent), console_(console),
      server_(new DescriptorServer([this](qintptr fd) { accept(fd); }, this)) {
    console_.set_mirror([this](const QByteArray &bytes) { send(bytes); });
    console_.set_idle_callback([this] {
        muted_ = false;
        // The client's commands have all run once the console is idle with
        // nothing of theirs left to type.
        if (!console_.busy() && console_.editor().pending_keys() == 0)
            running_own_ = false;
        // The next line of a burst goes in at once, not a turn later.
        if (!pumping_ && !input_.isEmpty() && !console_.busy())
            pump();
        else
            schedule_pump();
        finish_if_done();
    });
}

Relay::~Relay() {
    console_.set_idle_callback(nullptr);
    console_.set_mirror(nullptr);
    if (fd_ >= 0)
        support::socket_close(fd_);
    if (next_fd_ >= 0)
        support::socket_close(next_fd_);
}

bool Relay::listen(quint16 port) {
    return server_->listen(QHostAddress(QStringLiteral("127.0.0.1")), port);
}

void Relay::new_connection() {
    // Connections arrive through accept(); nothing waits in the server.
}

void Relay::accept(qintptr fd) {
    trace("new connection!");
    if (!allow_any_user_ && !support::loopback_peer_is_own_user(fd)) {
        const QString user = QString::fromStdString(support::loopback_peer_user(fd));
        refuse(fd, kOtherUserLine);
        if (!refusal_logged_) {
            refusal_logged_ = true;
            emit client_message(QStringLiteral("Network client of another user (%1) refused; "
                                               "--allow-any-user lets it in.")
                                    .arg(user));
        }
        return;
    }
    // A client that has just gone may not have been noticed yet: look
    // before turning the new one away.
    if (fd_ >= 0)
        read_input();
    if (fd_ >= 0 && end_of_input_ && next_fd_ < 0) {
        // The last client has said all it will; what it started is still
        // running or its answers still leaving. The new one waits its turn
        // instead of being turned away by a command that ends any moment.
        next_fd_ = fd;
        const unsigned turn = ++next_turn_;
        QTimer::singleShot(kNextClientWaitMs, this, [this, turn] {
            if (next_fd_ >= 0 && next_turn_ == turn) {
                trace("rejected.");
                refuse(next_fd_, kBusyLine);
                next_fd_ = -1;
            }
        });
        return;
    }
    if (fd_ >= 0) {
        // One client at a time; the first keeps its connection.
        trace("rejected.");
        refuse(fd, kBusyLine);
        return;
    }
    take(fd);
}

void Relay::take(qintptr fd) {
    fd_ = fd;
    support::socket_set_nonblocking(fd);
    // Answers are small and a client waits for each: sent at once, not held
    // back for a delayed acknowledgement.
    support::socket_set_no_delay(fd);
    input_.clear();
    output_.clear();
    end_of_input_ = false;
    dropped_ = 0;
    muted_ = console_.busy();
    read_notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    write_notifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    write_notifier_->setEnabled(false);
    connect(read_notifier_, &QSocketNotifier::activated, this, &Relay::read_input);
    connect(write_notifier_, &QSocketNotifier::activated, this, &Relay::write_output);
    trace("accepted.");
    emit client_message(QStringLiteral("Network client connected."));
}

void Relay::connection_closed() {
    drop_client(true);
}

void Relay::data_available() {
    read_input();
}

void Relay::read_input() {
    if (fd_ < 0)
        return;
    char buffer[4096];
    while (input_.size() < kMaxInput) {
        const qsizetype room = std::min<qsizetype>(sizeof buffer, kMaxInput - input_.size());
        const long n = support::socket_receive(fd_, buffer, static_cast<size_t>(room));
        if (n > 0) {
            input_.append(buffer, n);
            continue;
        }
        if (n == 0) {
            // The client has finished sending. One that only shut its
            // sending side still gets the answers to what it sent; one that
            // is gone (closed, killed) stops what it started.
            end_of_input_ = true;
            read_notifier_->setEnabled(false);
            if (support::loopback_peer_gone(fd_)) {
                drop_client(true);
                return;
            }
            watch_peer();
        } else if (n == support::kBroken) {
            drop_client(true);
            return;
        }
        break;
    }
    // Full: reading waits until the console has taken some of it.
    if (input_.size() >= kMaxInput)
        read_notifier_->setEnabled(false);
    look_for_stop();
    schedule_pump();
    finish_if_done();
}

void Relay::watch_peer() {
    // A client waiting for its answers may still go away before they are
    // done; nothing else would tell while its command prints nothing.
    QTimer::singleShot(kPeerCheckMs, this, [this, fd = fd_] {
        if (fd_ != fd || !end_of_input_)
            return;
        if (support::loopback_peer_gone(fd_))
            drop_client(true);
        else
            watch_peer();
    });
}

void Relay::look_for_stop() {
    // While a command runs, 0x03 stops it; what was typed before it was
    // meant for the stopped command's time and goes with it.
    if (!console_.busy())
        return;
    const qsizetype stop = input_.lastIndexOf('\x03');
    if (stop < 0)
        return;
    input_.remove(0, stop + 1);
    console_.request_stop();
}

void Relay::schedule_pump() {
    // While a command runs there is nothing to hand over: the console's
    // idle callback pumps again once it has ended.
    if (pump_scheduled_ || input_.isEmpty() || console_.busy() || incomplete_marker())
        return;
    pump_scheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        pump_scheduled_ = false;
        pump();
    });
}

bool Relay::incomplete_marker() const {
    return input_.startsWith(kMarker) && !input_.contains('\n') && input_.size() <= kMaxMarker &&
           !end_of_input_;
}

void Relay::pump() {
    // Set while this runs; a nested call leaves it set for the outer one.
    const QScopedValueRollback<bool> running(pumping_, true);
    // At most kChunk bytes per turn of the event loop, a line at a time, and
    // no more lines once the turn has taken kTurnMs: a burst of long-running
    // lines must not hold the window either. The console itself takes out a
    // 0x03 that has no command to stop.
    QElapsedTimer turn;
    turn.start();
    qsizetype handed = 0;
    while (fd_ >= 0 && !input_.isEmpty() && !console_.busy() && handed < kChunk &&
           turn.elapsed() < kTurnMs) {
        // A stop byte with no command to stop would only hide a marker
        // behind it (the client's "stop, then mark where I am again").
        while (input_.startsWith('\x03') && input_.size() > 1 && input_.at(1) == kMarker)
            input_.remove(0, 1);
        if (input_.front() == kMarker) {
            const qsizetype end = input_.indexOf('\n');
            if (incomplete_marker())
                break; // the rest is on its way; reading pumps again
            if (end >= 0 && end <= kMaxMarker) {
                // Everything before it has run and printed: it goes back
                // behind that output.
                if (console_.editor().pending_keys() > 0)
                    break;
                QByteArray marker = input_.mid(1, end - 1);
                if (marker.endsWith('\r'))
                    marker.chop(1);
                input_.remove(0, end + 1);
                handed += end + 1;
                send(marker + '\n');
                continue;
            }
        }
        qsizetype size = std::min(kChunk - handed, input_.size());
        const qsizetype line_end = input_.indexOf('\n');
        if (line_end >= 0 && line_end + 1 < size)
            size = line_end + 1;
        const QByteArray piece = input_.left(size);
        input_.remove(0, size);
        handed += size;
        // Its commands run now or on the device thread; they count as the
        // client's until the console is idle again.
        running_own_ = true;
        console_.relay(piece);
        // A piece that started nothing (an empty line, text behind a zero
        // byte) leaves nothing of the client's running.
        if (!console_.busy() && console_.editor().pending_keys() == 0)
            running_own_ = false;
    }
    if (fd_ < 0)
        return;
    if (!end_of_input_ && input_.size() < kMaxInput)
        read_notifier_->setEnabled(true);
    schedule_pump();
    finish_if_done();
}

void Relay::send(const QByteArray &bytes) {
    if (fd_ < 0 || muted_)
        return;
    // A single line longer than a client can be expected to hold is cut,
    // with a note; the lines around it go as they are.
    QByteArray text;
    if (bytes.size() <= kMaxMessage) {
        text = bytes;
    } else {
        for (qsizetype start = 0; start < bytes.size();) {
            qsizetype end = bytes.indexOf('\n', start);
            end = end < 0 ? bytes.size() : end + 1;
            const qsizetype length = end - start;
            if (length > kMaxMessage) {
                text += bytes.mid(start, kMaxMessage);
                text += QByteArray("\nrelay: a line of ") + QByteArray::number(length - 1) +
                        " bytes was cut to " + QByteArray::number(kMaxMessage) + "\n";
            } else {
                text += bytes.mid(start, length);
            }
            start = end;
        }
    }
    // What does not fit behind what the client has not read yet is dropped
    // alone; once there is room again, the client is told how much it
    // missed, and later output reaches it.
    if (output_.size() + text.size() > kMaxOutput) {
        dropped_ += text.size();
        return;
    }
    if (dropped_ > 0) {
        output_ += kDroppedNote.arg(dropped_).toLatin1();
        dropped_ = 0;
    }
    output_ += text;
    write_output();
}

void Relay::write_output() {
    while (fd_ >= 0 && !output_.isEmpty()) {
        const long n = support::socket_send(fd_, output_.constData(),
                                            static_cast<size_t>(output_.size()));
        if (n > 0) {
            output_.remove(0, n);
            continue;
        }
        if (n == support::kWouldBlock)
            break;
        // The client is gone: whatever it queued goes with it.
        drop_client(true);
        return;
    }
    if (fd_ >= 0)
        write_notifier_->setEnabled(!output_.isEmpty());
    finish_if_done();
}

void Relay::finish_if_done() {
    // A client that has finished sending is done once all it sent has run
    // and every answer has left.
    if (fd_ >= 0 && end_of_input_ && input_.isEmpty() && output_.isEmpty() && !running_own_)
        drop_client(false);
}

void Relay::drop_client(bool broken) {
    if (fd_ < 0)
        return;
    trace("disconnected.");
    delete read_notifier_;
    delete write_notifier_;
    read_notifier_ = write_notifier_ = nullptr;
    support::socket_close(fd_);
    fd_ = -1;
    input_.clear();
    output_.clear();
    // Whatever the client typed and has not run is not run for whoever
    // comes next, and a command of a client that has gone is stopped: its
    // answers have nowhere to go and the console is wanted by the next one.
    console_.discard_input();
    if (broken && running_own_)
        console_.request_stop();
    running_own_ = false;
    emit client_message(QStringLiteral("Network client disconnected."));
    if (next_fd_ >= 0) {
        const int fd = next_fd_;
        next_fd_ = -1;
        take(fd);
    }
}

} // namespace console
