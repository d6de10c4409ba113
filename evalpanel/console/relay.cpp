#include "console/relay.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include "console/console.h"
#include "console/console_trace.h"

namespace console {

Relay::Relay(Console &console, QObject *parent)
    : QObject(parent), console_(console), server_(new QTcpServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &Relay::new_connection);
}

Relay::~Relay() {
    // Closing the client must not call back into a relay that is half gone.
    if (client_ != nullptr)
        client_->disconnect(this);
}

bool Relay::listen(quint16 port) {
    return server_->listen(QHostAddress(QStringLiteral("127.0.0.1")), port);
}

void Relay::send(const QByteArray &bytes) {
    if (client_ != nullptr && client_->state() == QAbstractSocket::ConnectedState)
        client_->write(bytes);
}

void Relay::new_connection() {
    trace("new connection!");
    while (server_->hasPendingConnections()) {
        QTcpSocket *socket = server_->nextPendingConnection();
        if (client_ != nullptr) {
            // One client at a time; the first keeps its connection.
            trace("rejected.");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        client_ = socket;
        trace("accepted.");
        emit log_line(QStringLiteral("Network client connected."));
        connect(socket, &QTcpSocket::disconnected, this, &Relay::connection_closed);
        connect(socket, &QTcpSocket::readyRead, this, &Relay::data_available);
    }
}

void Relay::connection_closed() {
    trace("disconnected.");
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (socket != nullptr && socket != client_)
        return;
    emit log_line(QStringLiteral("Network client disconnected."));
    if (client_ != nullptr)
        client_->deleteLater();
    client_ = nullptr;
}

void Relay::data_available() {
    // A burst larger than one read is taken in further reads right away, so
    // no typed byte waits for the client to send more.
    while (client_ != nullptr && client_->bytesAvailable() > 0) {
        char buffer[kChunk];
        const qint64 count = client_->read(buffer, kChunk);
        trace("%d bytes read.", static_cast<int>(count));
        if (count <= 0)
            return;
        console_.relay(QByteArray(buffer, static_cast<int>(count)));
    }
}

} // namespace console
