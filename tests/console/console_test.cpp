#include <cstdio>
#include <filesystem>
#include <string>

#include <QtCore/qnamespace.h>
#include <gtest/gtest.h>

#include "../fifo_deadline.h"
#include "console/console.h"
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

    console::Console console{host, doc};
    std::filesystem::path dir;
    std::filesystem::path saved_cwd;
};

TEST_F(ConsoleTest, StartsWithHelpAndTheFirstPrompt) {
    console.start();
    EXPECT_EQ(doc.text, QString::fromLatin1(console::kHelpText) + QStringLiteral("\n> _"));
    EXPECT_EQ(host.refreshes, 0); // only the help command, not a whole line
}

TEST_F(ConsoleTest, TypedLinesRunAsCommandsBelowTheInputLine) {
    console.start();
    doc.text.clear();
    doc.cursor = 0;
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
}

TEST_F(ConsoleTest, ScriptButtonsRunTheirFileOrNothing) {
    EXPECT_TRUE(console.run_script_file("script1.txt")); // missing: nothing visible
    fifo_deadline::make_fifo("script2.txt");            // a FIFO: the same, at once
    EXPECT_TRUE(fifo_deadline::call_within_deadline(
        "script2.txt", [&] { return console.run_script_file("script2.txt"); }));
    EXPECT_TRUE(host.printed.isEmpty());
    write_file("script1.txt", "help\n");
    EXPECT_TRUE(console.run_script_file("script1.txt"));
    EXPECT_EQ(host.printed, QStringList{QString::fromLatin1(console::kHelpText)});
}

TEST_F(ConsoleTest, InputDuringTheBusTestWaitsForItsEnd) {
    write_file("script2.txt", "help\n");
    bool button_refused = false;
    host.on_process_events = [&] {
        if (host.events_processed == 1) {
            console.feed("page()\n");
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

} // namespace

namespace {

TEST_F(ConsoleTest, RelayedTextEndsAtAZeroByte) {
    console.relay(QByteArray("help\r\n\0page(1)\n", 15));
    EXPECT_EQ(host.printed, QStringList{QString::fromLatin1(console::kHelpText)});
    EXPECT_EQ(console.editor().line(), "");
    console.relay("page(1)\n");
    EXPECT_EQ(host.printed.last(), "switched to page 1");
}

} // namespace
