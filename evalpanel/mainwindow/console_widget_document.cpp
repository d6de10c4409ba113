#include "console_widget_document.h"

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

ConsoleWidgetDocument::ConsoleWidgetDocument(QPlainTextEdit *widget)
    : widget_(widget), pacer_([this] { apply(); }) {}

int ConsoleWidgetDocument::widget_length() const {
    // The document counts the paragraph separator behind its last line.
    return widget_->document()->characterCount() - 1;
}

void ConsoleWidgetDocument::move_to_end() {
    back_ = 0;
    pacer_.request();
}

void ConsoleWidgetDocument::move_left(int n) {
    if (n <= 0)
        return;
    back_ = std::min(back_ + n, length());
    pacer_.request();
}

void ConsoleWidgetDocument::insert_text(const QString &text) {
    if (back_ <= pending_.size()) {
        pending_.insert(pending_.size() - back_, text);
        pacer_.request();
        return;
    }
    QTextCursor cursor = widget_cursor();
    cursor.insertText(text);
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::delete_before(int n) {
    n = std::min(n, length() - back_);
    if (n <= 0)
        return;
    if (back_ + n <= pending_.size()) {
        pending_.remove(pending_.size() - back_ - n, n);
        pacer_.request();
        return;
    }
    QTextCursor cursor = widget_cursor();
    cursor.movePosition(QTextCursor::Left, QTextCursor::KeepAnchor, n);
    cursor.removeSelectedText();
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::delete_after() {
    if (back_ <= 0)
        return;
    if (back_ <= pending_.size()) {
        pending_.remove(pending_.size() - back_, 1);
        --back_;
        pacer_.request();
        return;
    }
    QTextCursor cursor = widget_cursor();
    cursor.deleteChar();
    --back_;
    widget_->setTextCursor(cursor);
}

void ConsoleWidgetDocument::append_paragraph(const QString &text) {
    // A paragraph of its own, unless the document is still empty.
    if (length() > 0)
        pending_ += QLatin1Char('\n');
    pending_ += text;
    back_ = 0;
    if (pending_.size() > trim_at_)
        drop_unseen_lines();
    pacer_.request();
}

void ConsoleWidgetDocument::drop_unseen_lines() {
    // The widget keeps its last `limit` lines only: a loop that prints
    // faster than frames go by would otherwise gather, and then lay out,
    // lines nobody could ever scroll to.
    const int limit = widget_->document()->maximumBlockCount();
    if (limit <= 0)
        return;
    qsizetype from = pending_.size();
    for (int lines = 0; lines < limit && from > 0; ++lines)
        from = pending_.lastIndexOf(QLatin1Char('\n'), from - 1);
    // Fewer lines than the widget keeps, or the editing position among
    // those that would go: nothing is dropped.
    if (from > 0 && pending_.size() - from > back_)
        pending_.remove(0, from);
    // The next look when the text has doubled: a line costs O(1) however
    // many come.
    trim_at_ = std::max(kTrimAt, 2 * pending_.size());
}

QTextCursor ConsoleWidgetDocument::widget_cursor() {
    pacer_.run_now();
    QTextCursor cursor(widget_->document());
    cursor.setPosition(widget_length() - back_);
    return cursor;
}

void ConsoleWidgetDocument::apply() {
    if (!pending_.isEmpty()) {
        drop_unseen_lines();
        QTextCursor end(widget_->document());
        end.movePosition(QTextCursor::End);
        end.insertText(pending_);
        pending_.clear();
        trim_at_ = kTrimAt;
    }
    // The widget's trimming of old lines may have taken the text the
    // position was in.
    back_ = std::min(back_, widget_length());
    // Through the widget's own cursor, so that it shows the editing
    // position and keeps it in view.
    QTextCursor cursor = widget_->textCursor();
    cursor.setPosition(widget_length() - back_);
    widget_->setTextCursor(cursor);
}
