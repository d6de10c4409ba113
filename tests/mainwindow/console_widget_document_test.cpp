// The console widget's document gathers edits and applies them once per
// frame; whatever mix of edits arrives, the widget must end up with the
// same text and editing position as a plain string would.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QRandomGenerator>

#include "../console/fake_document.h"
#include "console_widget_document.h"

TEST(ConsoleWidgetDocument, AnyEditSequenceMatchesAPlainString) {
    QPlainTextEdit widget;
    ConsoleWidgetDocument document(&widget);
    FakeDocument reference;
    QRandomGenerator random(5120);
    const QStringList texts = {QStringLiteral("a"), QStringLiteral("> _"), QStringLiteral("VSET_B0"),
                               QStringLiteral("x\ny"), QString()};
    for (int step = 0; step < 4000; ++step) {
        const int n = random.bounded(5);
        const QString &text = texts[random.bounded(texts.size())];
        switch (random.bounded(7)) {
        case 0: document.move_to_end(); reference.move_to_end(); break;
        case 1: document.move_left(n); reference.move_left(n); break;
        case 2: document.insert_text(text); reference.insert_text(text); break;
        case 3: document.delete_before(n); reference.delete_before(n); break;
        case 4: document.delete_after(); reference.delete_after(); break;
        case 5: document.append_paragraph(text); reference.append_paragraph(text); break;
        case 6:
            document.flush();
            ASSERT_EQ(widget.toPlainText(), reference.text) << "step " << step;
            ASSERT_EQ(widget.textCursor().position(), reference.cursor) << "step " << step;
            break;
        }
    }
}

TEST(ConsoleWidgetDocument, OutputFasterThanFramesKeepsTheLinesTheWidgetKeeps) {
    QPlainTextEdit widget;
    widget.document()->setMaximumBlockCount(100);
    ConsoleWidgetDocument document(&widget);
    FakeDocument reference;
    for (int i = 0; i < 20000; ++i) {
        const QString line = QStringLiteral("line %1 of a loop that prints without end").arg(i);
        document.append_paragraph(line);
        reference.append_paragraph(line);
    }
    document.insert_text(QStringLiteral("> "));
    reference.insert_text(QStringLiteral("> "));
    document.flush();
    EXPECT_EQ(widget.toPlainText(), reference.lines().mid(reference.lines().size() - 100).join('\n'));
}
