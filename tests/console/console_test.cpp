#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtCore/qnamespace.h>
#include <gtest/gtest.h>


#include "chip/rx5120.h"
#include "console/console.h"
#include "console/console_engine.h"
#include "console/relay.h"
#include "kit_fixture.h"
#include "temp_files.h"
#include "../spin_until.h"
#include "support/socket_io.h"
#include "test_platform.h"

namespace {

// The whole console on the virtual kit as the program runs it: the engine
// beside the session (on this thread, or on a device thread of its own for
// the cases where the console must stay live while a command runs), the
// console drawing into a document and mirroring to the relay.
class ConsoleTest : public ConsoleKitTest {
  protected:
    void SetUp() override {
        ConsoleKitTest::SetUp();
        QObject::connect(&console, &console::Console::log_line,
                         [this](const QString &line) { host.log << line; });
    }
    void TearDown() override {
        if (!device.isRunning())
            return;
        // Back to this thread before the session goes.
        QThread *home = QThread::currentThread();
        QMetaObject::invokeMethod(&session, [this, home] { move_to(home); },
                                  Qt::BlockingQueuedConnection);
        device.quit();
        device.wait();
    }

    // The session, the workbench and the engine move to a device thread.
    void start_device_thread() {
        kit("clock real");
        // The fixture's log recorder is this thread's.
        QObject::disconnect(&session, &evalpanel::DeviceSession::log_line, nullptr, nullptr);
        move_to(&device);
        device.start();
    }
    void move_to(QThread *thread) {
        for (QObject *o : std::initializer_list<QObject *>{&session, &workbench, &engine})
            o->moveToThread(thread);
    }

    void type(const std::string &text) {
        for (char c : text)
            console.key_press(c, QString(QLatin1Char(c)));
    }
    void type_line(const std::string &text) {
        type(text);
        console.key_press(Qt::Key_Return, QStringLiteral("\r"));
    }
    // Until the running command has ended and its output is drawn.
    bool settle(int ms = 5000) {
        return spin_until([&] { return !console.busy(); }, ms);
    }
    console::ConsoleEngine engine{session, workbench};
    console::Console console{engine, doc};
    QThread device;
    InTempDir cwd; // scripts are named relative to the working directory
};

// The help text and the first prompt, then typed lines run as commands
// below the input line.
TEST_F(ConsoleTest, StartsWithHelpAndRunsTypedLines) {
    console.start();
    EXPECT_EQ(doc.text, QString::fromLatin1(console::kHelpText) + QStringLiteral("\n> _"));
    type_line("page(2)");
    type_line("nonsense");
    ASSERT_TRUE(settle());
    EXPECT_EQ(doc.text, QString::fromLatin1(console::kHelpText) +
                            "\n> page(2)\nswitched to page 2\n> nonsense\nSyntax error\n> |");
}

// A script button runs its file; a missing file does nothing visible.
TEST_F(ConsoleTest, ScriptButtonsRunTheirFileIfThereIsOne) {
    const QString before = doc.text;
    EXPECT_TRUE(console.run_script_file("script1.txt"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(doc.text, before);
    write_file("script1.txt", "page(4)\npage()\n");
    EXPECT_TRUE(console.run_script_file("script1.txt"));
    ASSERT_TRUE(settle());
    EXPECT_TRUE(doc.text.endsWith("page 4")) << doc.text.toStdString();
}

// While a command runs on the device thread the console stays live: keys,
// relayed lines and stop requests arrive at once, keys and lines wait for
// the command's end, a script button is refused. Escape stops every kind of
// long command at its next step, at any depth of scripts and loops.
TEST_F(ConsoleTest, InputWaitsForTheCommandAndEscapeStopsIt) {
    write_file("script2.txt", "help\n");
    write_file("twice.txt", "twice.txt\ntwice.txt\n"); // 2^30 runs inside the depth limit
    write_file("loop.txt", "for i=0:1:1000000\nfor j=0:1:1000000\npage()\nend\nend\n");
    start_device_thread();
    console.editor().show_first_prompt();
    type_line("wait(300)");
    EXPECT_TRUE(console.busy());
    console.relay("page()\n");
    type("u");
    EXPECT_FALSE(console.run_script_file("script2.txt"));
    ASSERT_TRUE(spin_until([&] { return doc.text.contains("page 0"); }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(doc.lines().mid(1),
              (QStringList{"> wait(300)", "wait for 300 ms", "> page()", "page 0", "> u|"}));
    EXPECT_EQ(console.editor().line(), "u");

    console.key_press(Qt::Key_Backspace, QString());
    for (const char *line : {"twice.txt", "loop.txt", "wait(10000)", "i2c_test"}) {
        type_line(line);
        spin_until([] { return false; }, 100);
        ASSERT_TRUE(console.busy()) << line;
        QElapsedTimer stop;
        stop.start();
        console.key_press(Qt::Key_Escape, QStringLiteral("\x1b"));
        ASSERT_TRUE(settle(3000)) << line;
        EXPECT_LT(stop.elapsed(), 1000) << line;
        EXPECT_EQ(doc.lines().value(doc.lines().size() - 2), "Stopped.") << line;
    }
    type_line("page()"); // the console goes on as before
    ASSERT_TRUE(settle());
    EXPECT_TRUE(doc.text.endsWith("page 0\n> |"));
}

// A paste is typed a piece per turn of the event loop, and what it holds is
// text: a Control+V inside it pastes nothing again.
TEST_F(ConsoleTest, PasteIsTypedInPiecesAndNeverPastesAgain) {
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += "pa\x16ge()\n";
    console.set_clipboard([lines] { return QString::fromLatin1(lines); });
    console.key_press(Qt::Key_V, QStringLiteral("\x16"));
    EXPECT_LE(console.editor().pending_keys(), static_cast<size_t>(console::Console::kPasteChunk));
    ASSERT_TRUE(spin_until([&] { return doc.text.count("page 0") == 200 && !console.busy(); }));
    EXPECT_EQ(doc.text.count("page()"), 200);
}

// ---- The network relay, as the program runs it ------------------------------

// What a client sends is typed, what is printed goes back to it (a second
// client is turned away: test_relay_lifecycle.py). Under load 0x03 stops the running command, output leaves while
// the command still runs, a flood waits in the socket instead of memory, a
// client that only stopped sending still gets its answers, a broken one's
// queue is dropped, and a client that never reads costs bounded memory.
TEST_F(ConsoleTest, RelayServesOneClientAndStaysBounded) {
    console::Relay relay(console);
    QStringList relay_log;
    QObject::connect(&relay, &console::Relay::client_message,
                     [&](const QString &line) { relay_log << line; });
    ASSERT_TRUE(relay.listen(0));
    const quint16 port = relay.server()->serverPort();
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));
    EXPECT_EQ(relay_log, QStringList{"Network client connected."});

    // A read ends at its first zero byte; what is printed goes back with "\n".
    first.write(QByteArray("page()\r\n\0page(1)\n", 17));
    ASSERT_TRUE(spin_until([&] { return first.bytesAvailable() >= 7; }));
    EXPECT_EQ(first.readAll(), QByteArray("page 0\n"));
    first.disconnectFromHost();
    ASSERT_TRUE(spin_until([&] { return !relay.has_client(); }));
    EXPECT_EQ(relay_log.last(), "Network client disconnected.");

    // The next client is taken.
    start_device_thread();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));

    // What the script printed leaves while it runs; 0x03 stops it, and what
    // was sent before the stop byte goes with the stopped command.
    write_file("slow.txt", "echo first\nwait(10000)\necho never\n");
    client.write("slow.txt\necho lost\n");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("wait for"); }));
    client.write("\x03");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("Stopped."); }, 2000));
    client.write("echo after\n");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("after"); }));
    EXPECT_EQ(client.readAll(), "first\nwait for 10000 ms\nStopped.\nafter\n");

    // A marker line comes back once everything sent before it has run and
    // printed, also when it arrives in pieces; the console never sees it.
    write_file("two.txt", "wait(200)\necho done\n");
    client.write("two.txt\n\x1emark-1\n\x1emark");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("mark-1"); }));
    client.write("-2\n");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("mark-2"); }));
    EXPECT_EQ(client.readAll(), "wait for 200 ms\ndone\nmark-1\nmark-2\n");
    EXPECT_FALSE(doc.text.contains(QStringLiteral("mark")));

    // A flood while a command runs waits in the socket, not in memory, and
    // is typed once the command has ended.
    qsizetype most_waiting = 0;
    client.write("wait(1000)\n");
    ASSERT_TRUE(spin_until([&] { return console.busy(); }));
    client.write(QByteArray(256 * 1024, 'x') + "\necho flood\n");
    ASSERT_TRUE(spin_until([&] {
        most_waiting = std::max(most_waiting, relay.waiting_input());
        return client.peek(4096).contains("flood");
    }));
    EXPECT_LE(most_waiting, console::Relay::kMaxInput);
    EXPECT_EQ(client.readAll(), "wait for 1000 ms\nSyntax error\nflood\n");

    // Shut for sending: the answer still comes, then the relay closes.
    client.write("page()\n");
    client.flush();
    support::socket_shutdown_send(client.socketDescriptor());
    QByteArray answer;
    EXPECT_TRUE(spin_until([&] {
        answer += client.readAll();
        return !relay.has_client() && answer.endsWith("page 0\n");
    }));

    // A client whose connection breaks loses what it queued: nothing of it
    // runs after it has gone. Closing with data unread resets the connection.
    QTcpSocket broken;
    broken.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));
    broken.write("wait(300)\npage(3)\n");
    ASSERT_TRUE(spin_until([&] { return console.busy(); }));
    test_platform::reset_on_close(broken.socketDescriptor());
    broken.abort();
    ASSERT_TRUE(spin_until([&] { return !relay.has_client(); }));
    ASSERT_TRUE(settle());
    spin_until([] { return false; }, 100);
    EXPECT_EQ(chip_register(0, rx5120::reg::kPage), 0) << "page(3) ran after the client left";

    // A client that never reads: what waits for it stays bounded.
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));
    for (int i = 0; i < 16 * 1024; ++i)
        relay.send(QByteArray(1023, 'o') + '\n');
    relay.send(QByteArray(2 * 1024 * 1024, 'L') + '\n');
    EXPECT_LE(relay.waiting_output(), console::Relay::kMaxOutput);
    // Once it reads, later answers reach it, behind a note of what it
    // missed; a line too long to send whole is cut, the next one is whole.
    QByteArray received;
    ASSERT_TRUE(spin_until([&] {
        received += idle.readAll();
        return relay.waiting_output() == 0;
    }));
    relay.send("answer\n");
    relay.send(QByteArray(100 * 1024, 'c') + "\nnext\n");
    ASSERT_TRUE(spin_until([&] {
        received += idle.readAll();
        return received.endsWith("next\n");
    }));
    EXPECT_FALSE(received.contains('L'));
    EXPECT_TRUE(
        received.contains(" bytes of output dropped, the client did not read them\nanswer\n"));
    EXPECT_TRUE(received.contains(QByteArray(64 * 1024, 'c') +
                                  "\nrelay: a line of 102400 bytes was cut to 65536\nnext\n"));
}

// A message too long to lay out is cut for the widget, with a note.
TEST_F(ConsoleTest, AHugeMessageIsCutForTheWidget) {
    write_file("big.cfg", QString(100 * 1024, QLatin1Char('N')) + " = 1\n");
    type_line("load_registers(big.cfg)");
    ASSERT_TRUE(settle());
    const qsizetype note = doc.text.indexOf("\n(a line of 102476 characters was cut to 65536)");
    ASSERT_GE(note, 0);
    EXPECT_EQ(note - doc.text.lastIndexOf('\n', note - 1) - 1, 65536);
}

// Processes of another user are turned away (the test needs root to be one).
TEST_F(ConsoleTest, RelayRefusesAnotherUser) {
    console::Relay relay(console);
    QStringList relay_log;
    QObject::connect(&relay, &console::Relay::client_message,
                     [&](const QString &line) { relay_log << line; });
    ASSERT_TRUE(relay.listen(0));
    std::string said, user, why;
    if (!test_platform::connect_as_other_user(
            relay.server()->serverPort(),
            [](const std::function<bool()> &done) { return spin_until(done); }, &said, &user,
            &why))
        GTEST_SKIP() << why;
    EXPECT_EQ(said.rfind("relay: refused: only processes of the user", 0), 0u) << said;
    EXPECT_FALSE(relay.has_client());
    ASSERT_EQ(relay_log.size(), 1);
    EXPECT_TRUE(relay_log[0].contains(QString::fromStdString(user))) << relay_log[0].toStdString();
}

} // namespace
