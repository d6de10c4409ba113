#include "console_widget_document.h"

#include <QPlainTextEdit>
#include <QTextCursor>

// Every change goes through the widget's own text cursor, so that the
// widget shows the editing position and keeps it in view.

void ConsoleWidgetDocument::move_to_end() {
    QTextCursor cursor = widget_->textCursor();
    cursor.movePosition(QTextCursor::End);
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::move_left(int n) {
    if (n <= 0)
        return;
    QTextCursor cursor = widget_->textCursor();
    cursor.movePosition(QTextCursor::Left, QTextCursor::MoveAnchor, n);
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::insert_text(const QString &text) {
    QTextCursor cursor = widget_->textCursor();
    cursor.insertText(text);
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::delete_before(int n) {
    if (n <= 0)
        return;
    QTextCursor cursor = widget_->textCursor();
    cursor.clearSelection();
    cursor.movePosition(QTextCursor::Left, QTextCursor::KeepAnchor, n);
    cursor.removeSelectedText();
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::delete_after() {
    QTextCursor cursor = widget_->textCursor();
    cursor.clearSelection();
    cursor.deleteChar();
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::append_paragraph(const QString &text) {
    widget_->appendPlainText(text);
    move_to_end();
}
