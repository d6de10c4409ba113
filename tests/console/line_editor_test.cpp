#include <random>
#include <string>
#include <vector>

#include <QtCore/qnamespace.h>
#include <gtest/gtest.h>

#include "console/line_editor.h"
#include "fake_document.h"

using console::LineEditor;

namespace {

class LineEditorTest : public ::testing::Test {
  protected:
    LineEditorTest() : editor(doc, [this](const char *line) { run(line); }, {}) {
        doc.append_paragraph(QStringLiteral("Commands :"));
        editor.show_first_prompt();
    }

    virtual void run(const char *line) {
        executed.push_back(line);
        editor.finish_line();
    }

    void type(const std::string &text) {
        for (char c : text)
            EXPECT_TRUE(editor.key_press(c, QString(QLatin1Char(c))));
    }
    bool press(int key, const QString &text = QString()) { return editor.key_press(key, text); }
    bool enter() { return press(Qt::Key_Return, QStringLiteral("\r")); }

    // The document's input line must always be the prompt, the line, and the
    // marker at the cursor.
    QString expected_input_line() const {
        QString line = QString::fromLatin1(editor.line());
        line.insert(editor.line_length() - editor.cursor_offset(), QLatin1Char('|'));
        return QStringLiteral("> ") + line;
    }

    FakeDocument doc;
    LineEditor editor;
    std::vector<std::string> executed;
};

TEST_F(LineEditorTest, InsertsAtTheCursorAndExecutesTheWholeLine) {
    EXPECT_EQ(doc.text, QStringLiteral("Commands :\n> _")); // "_" until the first key
    type("abc");
    press(Qt::Key_Left);
    press(Qt::Key_Left);
    type("X");
    EXPECT_EQ(editor.line(), "aXbc");
    EXPECT_EQ(doc.last_line(), QStringLiteral("> aX|bc"));
    EXPECT_TRUE(enter());
    ASSERT_EQ(executed, (std::vector<std::string>{"aXbc"}));
    // The typed line stays on screen; a fresh prompt follows.
    EXPECT_EQ(doc.lines().mid(1), (QStringList{"> aXbc", "> |"}));
}

TEST_F(LineEditorTest, BackspaceAndDeleteStopAtTheEndsOfTheLine) {
    type("ab");
    press(Qt::Key_Left);
    EXPECT_TRUE(press(Qt::Key_Backspace)); // cursor behind "a": removes it
    EXPECT_TRUE(press(Qt::Key_Backspace)); // at the start: nothing
    EXPECT_EQ(doc.last_line(), QStringLiteral("> |b"));
    EXPECT_TRUE(press(Qt::Key_Delete));
    EXPECT_TRUE(press(Qt::Key_Delete)); // at the end: nothing
    EXPECT_EQ(editor.line(), "");
    type("cd");
    press(Qt::Key_Left);
    press(Qt::Key_Left);
    press(Qt::Key_Left); // already at the start
    EXPECT_EQ(editor.cursor_offset(), 2);
    press(Qt::Key_Delete);
    press(Qt::Key_Right);
    press(Qt::Key_Right); // already at the end
    EXPECT_EQ(editor.cursor_offset(), 0);
    EXPECT_EQ(editor.line(), "d");
}

TEST_F(LineEditorTest, HistoryIsOneRingOfTheNewest255Lines) {
    EXPECT_TRUE(enter()); // an empty line is neither run nor kept
    EXPECT_TRUE(executed.empty());
    for (int i = 1; i <= 300; ++i) {
        type("l" + std::to_string(i));
        enter();
    }
    type("typed");
    std::vector<std::string> seen;
    for (int i = 0; i < 300; ++i) {
        press(Qt::Key_Up);
        std::string line = editor.line().toStdString();
        if (!seen.empty() && seen.back() == line)
            break;
        seen.push_back(line);
    }
    // Browsing stops at the oldest line kept, then goes back to the line
    // typed before browsing.
    ASSERT_EQ(seen.size(), 255u);
    EXPECT_EQ(executed.size(), 300u);
    EXPECT_EQ(seen.front(), "l300");
    EXPECT_EQ(seen.back(), "l46");
    EXPECT_EQ(doc.last_line(), QStringLiteral("> l46|"));
    for (int i = 0; i < 254; ++i)
        press(Qt::Key_Down);
    EXPECT_EQ(editor.line(), "l300");
    press(Qt::Key_Down);
    EXPECT_EQ(editor.line(), "typed");
    press(Qt::Key_Down);
    EXPECT_EQ(editor.line(), "typed");
    EXPECT_EQ(doc.last_line(), QStringLiteral("> typed|"));
}

TEST_F(LineEditorTest, LineHoldsAtMost255Characters) {
    type(std::string(300, 'x'));
    EXPECT_EQ(editor.line_length(), 255);
    EXPECT_EQ(doc.last_line(), expected_input_line());
    press(Qt::Key_Left);
    type("y"); // still full
    EXPECT_EQ(editor.line(), QByteArray(255, 'x'));
    press(Qt::Key_Backspace);
    type("y");
    EXPECT_EQ(editor.line(), QByteArray(253, 'x') + "yx");
    enter();
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].size(), 255u);
}

TEST_F(LineEditorTest, WidgetKeepsCopySelectAllKeypadEnterAndForeignCharacters) {
    type("ab");
    const QString before = doc.text;
    EXPECT_FALSE(press(Qt::Key_Control));
    EXPECT_FALSE(press(Qt::Key_C, QStringLiteral("\x03")));
    EXPECT_FALSE(press(Qt::Key_A, QStringLiteral("\x01")));
    EXPECT_FALSE(press(Qt::Key_Enter, QStringLiteral("\r")));
    EXPECT_FALSE(press(Qt::Key_Eacute, QString(QChar(0xE9))));
    EXPECT_FALSE(press(Qt::Key_Home));
    EXPECT_TRUE(press(Qt::Key_Escape));
    EXPECT_TRUE(press(Qt::Key_Tab, QStringLiteral("\t")));
    EXPECT_EQ(doc.text, before);
    EXPECT_EQ(editor.line(), "ab");
    EXPECT_TRUE(executed.empty());
}

TEST_F(LineEditorTest, FedBytesAreKeysButControlBytesAreNoEditingKeys) {
    // A byte 8 is not Backspace, 0x7F is not Delete, 0xE9 is no character.
    editor.feed(QByteArray("ab\x08\x7f\xe9", 5));
    EXPECT_EQ(editor.line(), "ab");
    EXPECT_EQ(doc.last_line(), QStringLiteral("> ab|"));
    editor.feed("\r\n"); // CR and LF are two Returns
    EXPECT_EQ(executed, (std::vector<std::string>{"ab"}));
    EXPECT_EQ(doc.lines().mid(1), (QStringList{"> ab", "> ", "> |"}));
}

TEST_F(LineEditorTest, RandomKeysKeepDocumentAndLineInStep) {
    std::mt19937 random(5120);
    const int keys[] = {Qt::Key_Left, Qt::Key_Right,  Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Up,
                        Qt::Key_Down, Qt::Key_Escape, Qt::Key_Home,      Qt::Key_Return};
    for (int i = 0; i < 5000; ++i) {
        int pick = static_cast<int>(random() % 24);
        if (pick < 15) {
            char c = static_cast<char>('a' + pick);
            press(c, QString(QLatin1Char(c)));
        } else {
            press(keys[pick - 15]);
        }
        ASSERT_EQ(doc.last_line(), expected_input_line()) << "after key " << i;
        ASSERT_LE(editor.cursor_offset(), editor.line_length());
    }
}

} // namespace
