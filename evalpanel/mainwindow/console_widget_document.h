// The console's text over the window's plain-text widget: what the line
// editor sees as its document is the widget's text, followed by what it has
// appended since the widget was last brought up to date.
//
// Edits at the end of the text (typed lines, output, prompts: nearly all of
// them) are gathered and reach the widget once per frame; an edit further
// back brings the widget up to date first and is applied to it directly.
// The editing position is kept as a distance from the end, which the
// widget's trimming of old lines at the top does not change.
#pragma once

#include <QString>

#include "console/console_document.h"
#include "frame_pacer.h"

class QPlainTextEdit;

class ConsoleWidgetDocument : public console::ConsoleDocument {
  public:
    explicit ConsoleWidgetDocument(QPlainTextEdit *widget);

    void move_to_end() override;
    void move_left(int n) override;
    void insert_text(const QString &text) override;
    void delete_before(int n) override;
    void delete_after() override;
    void append_paragraph(const QString &text) override;

    // Brings the widget up to date now.
    void flush() { pacer_.run_now(); }

  private:
    int widget_length() const;
    int length() const { return widget_length() + static_cast<int>(pending_.size()); }
    // Brings the widget up to date and returns a cursor at the editing
    // position in it.
    class QTextCursor widget_cursor();
    void apply();
    void drop_unseen_lines();

    // Gathered text beyond this many characters is trimmed to the lines
    // the widget would keep.
    static constexpr qsizetype kTrimAt = 64 * 1024;
    qsizetype trim_at_ = kTrimAt;

    QPlainTextEdit *widget_;
    QString pending_;
    int back_ = 0; // editing position, in characters from the end
    FramePacer pacer_;
};
