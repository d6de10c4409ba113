// The console inside the window: keys typed into the console widget, the
// clipboard, and the TCP relay with real sockets.
#include "window_fixture.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

namespace {

class RelayTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        open_powered();
        ASSERT_TRUE(window->relay_server()->isListening()) << "port 23456 is taken";
    }

    // Connects a client and waits until the window has taken it.
    std::unique_ptr<QTcpSocket> connect_client() {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QStringLiteral("127.0.0.1"), MainWindow::kConsolePort);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return socket->state() == QAbstractSocket::ConnectedState; }, 3000));
        return socket;
    }

    // Sends bytes and collects what comes back until `expected` is in it.
    QByteArray exchange(QTcpSocket &socket, const QByteArray &bytes, const QByteArray &expected) {
        socket.write(bytes);
        QByteArray reply;
        (void)QTest::qWaitFor(
            [&] {
                reply += socket.readAll();
                return reply.contains(expected);
            },
            3000);
        return reply;
    }

    QString console_text() { return ui().plainTextEdit->toPlainText(); }
};

TEST_F(RelayTest, HelpOverCrLfRunsOnceAndSendsTheTextBack) {
    auto client = connect_client();
    EXPECT_EQ(last_log_line(), "Network client connected.");
    const int prompts_before = console_text().count(QLatin1String("\n> "));
    const QByteArray reply = exchange(*client, "help\r\n", "i2c_bus");
    EXPECT_TRUE(reply.contains("i2c_bus")) << reply.constData();
    EXPECT_TRUE(reply.endsWith('\n'));
    // help, then an empty line: two new prompts, the help text once more.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return console_text().count(QLatin1String("\n> ")) == prompts_before + 2; }, 2000));
    EXPECT_EQ(console_text().count(QLatin1String("i2c_bus")), 2 * reply.count("i2c_bus"));
}

TEST_F(RelayTest, OneClientAtATime) {
    auto first = connect_client();
    auto second = std::make_unique<QTcpSocket>();
    second->connectToHost(QStringLiteral("127.0.0.1"), MainWindow::kConsolePort);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return second->state() == QAbstractSocket::UnconnectedState; }, 3000))
        << "the second client is closed at once";
    EXPECT_TRUE(exchange(*first, "page()\n", "page 0\n").contains("page 0\n"));

    // Once the first has gone, the next is welcome.
    first->disconnectFromHost();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return last_log_line() == "Network client disconnected."; }, 3000));
    auto third = connect_client();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return last_log_line() == "Network client connected."; }, 3000));
    EXPECT_TRUE(exchange(*third, "page()\n", "page 0\n").contains("page 0\n"));
}

TEST_F(RelayTest, ALongBurstIsRelayedWhole) {
    auto client = connect_client();
    QByteArray burst;
    for (int i = 0; i < 100; ++i)
        burst += "page()\n"; // 700 bytes
    const QByteArray reply = exchange(*client, burst, QByteArray("page 0\n").repeated(100));
    EXPECT_EQ(reply.count("page 0\n"), 100);
}

TEST_F(RelayTest, AZeroByteEndsTheTextOfItsRead) {
    auto client = connect_client();
    QByteArray bytes("page()\n");
    bytes += '\0';
    bytes += "page(3)\n";
    const QByteArray reply = exchange(*client, bytes, "page 0\n");
    // Still on page 0: nothing behind the zero byte ran.
    const QByteArray after = exchange(*client, "page()\n", "page 0\n");
    EXPECT_TRUE(after.contains("page 0\n"));
    EXPECT_FALSE((reply + after).contains("switched to page 3"));
}

TEST_F(RelayTest, TypedKeysAndThePasteRunCommands) {
    ui().actionConsole->setChecked(true);
    QTest::keyClicks(ui().plainTextEdit, "page(2)");
    QTest::keyClick(ui().plainTextEdit, Qt::Key_Return);
    EXPECT_TRUE(console_text().contains("switched to page 2\n> |"));

    // Control+V pastes the clipboard as typed keys; a final line break runs it.
    QGuiApplication::clipboard()->setText(QStringLiteral("page()\n"));
    if (QGuiApplication::clipboard()->text() != "page()\n")
        GTEST_SKIP() << "no clipboard on this platform";
    QKeyEvent control_v(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, QString(QChar(0x16)));
    QApplication::sendEvent(ui().plainTextEdit, &control_v);
    EXPECT_TRUE(console_text().contains("page 2\n> |"));
}

TEST_F(RelayTest, ScriptButtonsRunTheirFiles) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    {
        QFile file(dir.filePath("script2.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("# balanced\nVSET_B0 = 0x21\nDELAY_B0 = 7\n");
    }
    ui().script1->click(); // no such file: nothing happens
    ui().script2->click();
    QDir::setCurrent(previous);
    EXPECT_EQ(chip_register(0, 0x00) & 0x7F, 0x21);
    EXPECT_EQ(chip_register(0, 0x12), 7);
    EXPECT_FALSE(console_text().contains("Syntax error"));
}

} // namespace
