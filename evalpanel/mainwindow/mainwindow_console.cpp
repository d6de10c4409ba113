// The console's Qt side: key events of the console widget into the line
// editor, printing and mirroring to the network client, the clipboard, the
// TCP relay on 127.0.0.1:23456 and the four script buttons.
#include "mainwindow.h"

#include <QHostAddress>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>

#include "console/console.h"
#include "form.h"
#include "window_trace.h"

// ---- Key events -------------------------------------------------------------

bool MainWindow::eventFilter(QObject *, QEvent *event) {
    if (event == nullptr || event->type() != QEvent::KeyPress || !console_)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    return console_->key_press(key->key(), key->text());
}

void MainWindow::relay_text(const QByteArray &bytes) {
    for (char byte : bytes) {
        const bool line_end = byte == '\n' || byte == '\r';
        const int code = line_end ? int(Qt::Key_Return) : int(static_cast<signed char>(byte));
        const QString text =
            line_end ? QStringLiteral("\n") : QString(QChar(static_cast<uchar>(byte)));
        QKeyEvent event(QEvent::KeyPress, code, Qt::NoModifier, text);
        qCDebug(lcWindow, "relay key %c", byte);
        eventFilter(nullptr, &event);
    }
}

void MainWindow::paste_clipboard() {
    if (console_)
        console_->editor().paste_clipboard();
}

// ---- Output -----------------------------------------------------------------

void MainWindow::console_print(const QString &text) {
    ui_->plainTextEdit->appendPlainText(text);
    send_to_client(text.toLatin1() + '\n');
}

void MainWindow::send_to_client(const QByteArray &bytes) {
    if (client_ != nullptr && client_->state() == QAbstractSocket::ConnectedState)
        client_->write(bytes);
}

// ---- Network relay ----------------------------------------------------------

void MainWindow::start_console_relay() {
    server_ = new QTcpServer(this);
    // A port already taken leaves the program without a relay, nothing more.
    server_->listen(QHostAddress(QStringLiteral("127.0.0.1")), kConsolePort);
    connect(server_, &QTcpServer::newConnection, this, &MainWindow::new_connection);
}

void MainWindow::new_connection() {
    qCDebug(lcWindow, "new connection!");
    while (server_->hasPendingConnections()) {
        QTcpSocket *socket = server_->nextPendingConnection();
        if (client_ != nullptr) {
            // One client at a time; the first keeps its connection.
            qCDebug(lcWindow, "rejected.");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        client_ = socket;
        qCDebug(lcWindow, "accepted.");
        append_command_log(QStringLiteral("Network client connected."));
        connect(socket, &QTcpSocket::disconnected, this, &MainWindow::connection_closed);
        connect(socket, &QTcpSocket::readyRead, this, &MainWindow::data_available);
    }
}

void MainWindow::connection_closed() {
    qCDebug(lcWindow, "disconnected.");
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (socket != nullptr && socket != client_)
        return;
    append_command_log(QStringLiteral("Network client disconnected."));
    if (client_ != nullptr)
        client_->deleteLater();
    client_ = nullptr;
}

void MainWindow::data_available() {
    // A burst larger than one read is taken in further reads right away, so
    // no typed byte waits for the client to send more.
    while (client_ != nullptr && client_->bytesAvailable() > 0) {
        qCDebug(lcWindow, "%d bytes available.", static_cast<int>(client_->bytesAvailable()));
        char buffer[kRelayChunk + 1];
        const qint64 count = client_->read(buffer, kRelayChunk);
        qCDebug(lcWindow, "%d bytes read.", static_cast<int>(count));
        if (count < 0)
            return;
        buffer[count] = '\0';
        qCDebug(lcWindow, "%s", buffer);
        // A zero byte ends the text of this read.
        relay_text(QByteArray(buffer));
    }
}

// ---- Script buttons ---------------------------------------------------------

void MainWindow::run_script_button(const char *file) {
    // A missing file does nothing; while a console command runs the button
    // is ignored rather than starting a second run inside the first.
    if (console_)
        console_->run_script_file(file);
}

void MainWindow::on_script1_clicked() {
    run_script_button("script1.txt");
}

void MainWindow::on_script2_clicked() {
    run_script_button("script2.txt");
}

void MainWindow::on_script3_clicked() {
    run_script_button("script3.txt");
}

void MainWindow::on_script4_clicked() {
    run_script_button("script4.txt");
}
