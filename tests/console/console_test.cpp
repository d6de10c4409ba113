#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include <QCoreApplication>
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

} // namespace
