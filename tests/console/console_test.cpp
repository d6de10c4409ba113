#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include <QCoreApplication>

#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "chip/rx5120.h"
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtCore/qnamespace.h>
#include <gtest/gtest.h>

#include "../fifo_deadline.h"
#include "console/console.h"
#include "console/relay.h"
#include "kit_fixture.h"

namespace {

// The whole console on the virtual kit, printing into the same document the
// editor draws in, as the main window does.
class ConsoleTest : public ConsoleKitTest {
  protected:
    void SetUp() override {
        ConsoleKitTest::SetUp();
        host.screen = &doc;
        dir = std::filesystem::temp_directory_path() /
              ("console_whole_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(dir);
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        std::filesystem::current_path(saved_cwd);
        std::filesystem::remove_all(dir);
        ConsoleKitTest::TearDown();
    }

    void type_line(const std::string &text) {
        for (char c : text)
            console.key_press(c, QString(QLatin1Char(c)));
        console.key_press(Qt::Key_Return, QStringLiteral("\r"));
    }
    static void write_file(const char *name, const std::string &content) {
        FILE *file = fopen(name, "wb");
        ASSERT_NE(file, nullptr);
        fwrite(content.data(), 1, content.size(), file);
        fclose(file);
    }

    console::Console console{host, session, doc};
    std::filesystem::path dir;
    std::filesystem::path saved_cwd;
};

TEST_F(ConsoleTest, StartsWithHelpAndTheFirstPrompt) {
    console.start();
    EXPECT_EQ(doc.text, QString::fromLatin1(console::kHelpText) + QStringLiteral("\n> _"));
    EXPECT_EQ(host.refreshes, 0); // only the help command, not a whole line
}

TEST_F(ConsoleTest, TypedLinesRunAsCommandsBelowTheInputLine) {
    console.editor().show_first_prompt();
    type_line("page(2)");
    type_line("nonsense");
    EXPECT_EQ(doc.lines(), (QStringList{"", "> page(2)", "switched to page 2", "> nonsense",
                                        "Syntax error", "> |"}));
    EXPECT_EQ(host.refreshes, 2);
}

TEST_F(ConsoleTest, ScriptFilesRunBeforeCommandsAreTried) {
    write_file("setup.txt", "# a comment\npage($0)\nfor i=0:1:2\n  0x12 = $i\nend\n");
    type_line("setup.txt 4");
    EXPECT_EQ(host.printed, (QStringList{"switched to page 4"}));
    EXPECT_EQ(host.log, (QStringList{"0x12 = 0x0", "0x12 = 0x1"}));
    EXPECT_EQ(chip_register(4, 0x12), 1);

    // A script button: a missing file does nothing visible; a FIFO the
    // same, at once.
    host.printed.clear();
    fifo_deadline::make_fifo("script2.txt");
    EXPECT_TRUE(fifo_deadline::call_within_deadline(
        "script2.txt", [&] { return console.run_script_file("script2.txt"); }));
    EXPECT_TRUE(console.run_script_file("script1.txt"));
    EXPECT_TRUE(host.printed.isEmpty());
    write_file("script1.txt", "page()\n");
    EXPECT_TRUE(console.run_script_file("script1.txt"));
    EXPECT_EQ(host.printed, QStringList{"page 4"});
}

TEST_F(ConsoleTest, InputDuringTheBusTestWaitsForItsEnd) {
    write_file("script2.txt", "help\n");
    bool button_refused = false;
    host.on_process_events = [&] {
        if (host.events_processed == 1) {
            console.relay("page()\n");
            console.key_press('u', QStringLiteral("u"));
            button_refused = !console.run_script_file("script2.txt");
        }
    };
    type_line("i2c_test");
    host.on_process_events = nullptr;
    EXPECT_TRUE(button_refused);
    // page() ran after the test, then "u" waits in the input line.
    ASSERT_GE(host.printed.size(), 1);
    EXPECT_EQ(host.printed.last(), "page 0");
    EXPECT_EQ(console.editor().line(), "u");
    EXPECT_EQ(doc.last_line(), QStringLiteral("> u|"));
}

// ---- The network relay, as the program runs it ------------------------------

bool spin_until(const std::function<bool()> &done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST_F(ConsoleTest, RelayTypesWhatOneClientSendsAndSendsBackWhatIsPrinted) {
    console::Relay relay(console);
    host.relay = &relay;
    QStringList relay_log;
    QObject::connect(&relay, &console::Relay::log_line,
                     [&](const QString &line) { relay_log << line; });
    ASSERT_TRUE(relay.listen(0));
    const quint16 port = relay.server()->serverPort();

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));
    EXPECT_EQ(relay_log, QStringList{"Network client connected."});

    // A second client is turned away; the first keeps its connection.
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(spin_until([&] { return second.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(relay_log.size(), 1);

    // A read ends at its first zero byte; what is printed goes back with "\n".
    client.write(QByteArray("page()\r\n\0page(1)\n", 17));
    ASSERT_TRUE(spin_until([&] { return client.bytesAvailable() >= 7; }));
    EXPECT_EQ(host.printed, QStringList{"page 0"});
    EXPECT_EQ(client.readAll(), QByteArray("page 0\n"));

    // A burst longer than one read is typed whole without waiting for more.
    host.printed.clear();
    QByteArray burst;
    for (int i = 0; i < 100; ++i)
        burst += "page()\n";
    ASSERT_GT(burst.size(), console::Relay::kChunk);
    client.write(burst);
    EXPECT_TRUE(spin_until([&] { return host.printed.size() == 100; }));
    EXPECT_EQ(console.editor().line(), "");

    client.disconnectFromHost();
    ASSERT_TRUE(spin_until([&] { return !relay.has_client(); }));
    EXPECT_EQ(relay_log.last(), "Network client disconnected.");
    // The next client is taken.
    QTcpSocket third;
    third.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(spin_until([&] { return relay.has_client(); }));
}

// Escape in the console stops every kind of long command within a few turns
// of the event loop, at any depth of scripts and loops.
TEST_F(ConsoleTest, LongCommandsStopOnEscape) {
    write_file("twice.txt", "twice.txt\ntwice.txt\n"); // 2^30 runs inside the depth limit
    write_file("loop.txt", "for i=0:1:1000000\nfor j=0:1:1000000\npage()\nend\nend\n");
    for (const char *line : {"twice.txt", "loop.txt", "wait(10000)", "i2c_test"}) {
        host.printed.clear();
        host.sleeps.clear();
        host.events_processed = 0;
        host.on_process_events = [&] {
            if (host.events_processed == 3)
                console.key_press(Qt::Key_Escape, QStringLiteral("\x1b"));
        };
        type_line(line);
        EXPECT_FALSE(console.busy()) << line;
        ASSERT_FALSE(host.printed.isEmpty()) << line;
        EXPECT_EQ(host.printed.last(), "Stopped.") << line;
        EXPECT_LT(host.events_processed, 10) << line;
        EXPECT_LT(host.sleeps.size(), 10u) << line;
    }
    host.on_process_events = nullptr;
    host.printed.clear();
    type_line("page()"); // the console goes on as before
    EXPECT_EQ(host.printed, QStringList{"page 0"});
}

// A paste is typed a piece per turn of the event loop, and what it holds is
// text: a Control+V inside it pastes nothing again.
TEST_F(ConsoleTest, PasteIsTypedInPiecesAndNeverPastesAgain) {
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += "pa\x16ge()\n";
    host.clipboard = QString::fromLatin1(lines);
    console.key_press(Qt::Key_V, QStringLiteral("\x16"));
    EXPECT_LE(console.editor().pending_keys(), static_cast<size_t>(console::Console::kPasteChunk));
    EXPECT_LT(host.printed.size(), 200);
    ASSERT_TRUE(spin_until([&] { return host.printed.size() >= 200; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(host.printed, QStringList(200, "page 0"));
}

// The relay under load: 0x03 stops the running command, output leaves while
// the command still runs, a flood waits in the socket instead of memory, and
// a client that only stopped sending still gets its answers.
TEST_F(ConsoleTest, RelayStopsStreamsAndStaysBounded) {
    console::Relay relay(console);
    host.relay = &relay;
    ASSERT_TRUE(relay.listen(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, relay.server()->serverPort());
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));

    // 0x03 stops the running script; what the script printed left while it
    // ran.
    write_file("slow.txt", "echo first\nwait(10000)\necho never\n");
    bool first_arrived_early = false;
    int turns = 0;
    host.on_process_events = [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (++turns == 3) {
            first_arrived_early = client.bytesAvailable() > 0;
            client.write("\x03");
        }
    };
    // What was sent before the stop byte goes with the stopped command.
    client.write("slow.txt\necho lost\n");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("Stopped."); }));
    client.write("echo after\n");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("after"); }));
    EXPECT_TRUE(first_arrived_early);
    EXPECT_EQ(client.readAll(), "first\nwait for 10000 ms\nStopped.\nafter\n");

    // A flood while a command runs waits in the socket, not in memory, and
    // is typed once the command has ended.
    qsizetype most_waiting = 0;
    turns = 0;
    host.on_process_events = [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        most_waiting = std::max(most_waiting, relay.waiting_input());
        if (++turns == 3)
            client.write(QByteArray(256 * 1024, 'x') + "\necho flood\n");
    };
    client.write("wait(2000)\n");
    ASSERT_TRUE(spin_until([&] { return client.peek(4096).contains("flood"); }));
    host.on_process_events = nullptr;
    EXPECT_LE(most_waiting, console::Relay::kMaxInput);
    EXPECT_EQ(client.readAll(), "wait for 2000 ms\nSyntax error\nflood\n");

    // Shut for sending: the answer still comes, then the relay closes.
    client.write("page()\n");
    client.flush();
    ::shutdown(static_cast<int>(client.socketDescriptor()), SHUT_WR);
    QByteArray answer;
    EXPECT_TRUE(spin_until([&] {
        answer += client.readAll();
        return !relay.has_client() && answer.endsWith("page 0\n");
    }));

    // A client that never reads: what waits for it stays bounded.
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, relay.server()->serverPort());
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));
    for (int i = 0; i < 16 * 1024; ++i)
        relay.send(QByteArray(1023, 'o') + '\n');
    EXPECT_LE(relay.waiting_output(), console::Relay::kMaxOutput + 100);
    QByteArray received;
    ASSERT_TRUE(spin_until([&] {
        received += idle.readAll();
        return received.endsWith("the client does not read it\n");
    }));
}

// A client whose connection breaks loses what it queued: nothing of it runs
// after it has gone.
TEST_F(ConsoleTest, RelayDropsWhatABrokenClientQueued) {
    console::Relay relay(console);
    host.relay = &relay;
    ASSERT_TRUE(relay.listen(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, relay.server()->serverPort());
    ASSERT_TRUE(spin_until([&] { return relay.has_client(); }));
    host.on_process_events = [&] {
        if (host.events_processed == 3) {
            // Closing with data unread resets the connection.
            const linger reset{1, 0};
            ::setsockopt(static_cast<int>(client.socketDescriptor()), SOL_SOCKET, SO_LINGER,
                         &reset, sizeof reset);
            client.abort();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    client.write("i2c_test\npage(3)\n");
    ASSERT_TRUE(spin_until([&] { return host.events_processed > 3 && !console.busy(); }));
    host.on_process_events = nullptr;
    EXPECT_FALSE(relay.has_client());
    EXPECT_EQ(session.register_read(rx5120::reg::kPage), 0) << "page(3) ran after the client left";
}

// Processes of another user are turned away (the test needs root to be one).
TEST_F(ConsoleTest, RelayRefusesAnotherUser) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    console::Relay relay(console);
    QStringList relay_log;
    QObject::connect(&relay, &console::Relay::log_line,
                     [&](const QString &line) { relay_log << line; });
    ASSERT_TRUE(relay.listen(0));
    const quint16 port = relay.server()->serverPort();
    // The child tells how it went through a pipe: '0' closed at once.
    int report[2];
    ASSERT_EQ(pipe2(report, O_NONBLOCK), 0);
    const pid_t child = fork();
    if (child == 0) {
        const auto done = [&](char how) {
            [[maybe_unused]] ssize_t n = write(report[1], &how, 1);
            _exit(0);
        };
        if (setgid(65534) != 0 || setuid(65534) != 0)
            done('2');
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
            done('3');
        char byte;
        done(recv(fd, &byte, 1, 0) == 0 ? '0' : '4');
    }
    char how = 0;
    EXPECT_TRUE(spin_until([&] { return how != 0 || read(report[0], &how, 1) == 1; }));
    EXPECT_EQ(how, '0');
    waitpid(child, nullptr, 0);
    close(report[0]);
    close(report[1]);
    EXPECT_FALSE(relay.has_client());
    ASSERT_EQ(relay_log.size(), 1);
    EXPECT_TRUE(relay_log[0].contains("uid 65534")) << relay_log[0].toStdString();
}

} // namespace
