// The network console relay: a TCP server on 127.0.0.1 that takes one client
// at a time. What the client sends is typed into the console as keys; what
// the console prints is sent back to it.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

class QTcpServer;
#include <QTcpSocket>

namespace console {

class Console;

class Relay : public QObject {
    Q_OBJECT

  public:
    static constexpr quint16 kDefaultPort = 23456;
    // A read from the client takes at most this many bytes at once.
    static constexpr qint64 kChunk = 512;

    Relay(Console &console, QObject *parent = nullptr);
    ~Relay() override;

    // Starts listening; a port already taken leaves the program without a
    // relay, nothing more. False when listening failed.
    bool listen(quint16 port = kDefaultPort);
    QTcpServer *server() const { return server_; }
    bool has_client() const { return client_ != nullptr; }

    // Sends a printed line to the client, when one is connected.
    void send(const QByteArray &bytes);

    // The relay's steps, also reachable as the window's slots.
    void new_connection();
    void connection_closed();
    void data_available();

  signals:
    // "Network client connected." and "Network client disconnected."
    void log_line(const QString &line);

  private:
    Console &console_;
    QTcpServer *server_ = nullptr;
    QPointer<QTcpSocket> client_;
};

} // namespace console
