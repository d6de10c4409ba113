// The console's text over the window's plain-text widget: what the line
// editor sees as its document is the widget's text and its text cursor.
#pragma once

#include "console/console_document.h"

class QPlainTextEdit;

class ConsoleWidgetDocument : public console::ConsoleDocument {
  public:
    explicit ConsoleWidgetDocument(QPlainTextEdit *widget) : widget_(widget) {}

    void move_to_end() override;
    void move_left(int n) override;
    void insert_text(const QString &text) override;
    void delete_before(int n) override;
    void delete_after() override;
    void append_paragraph(const QString &text) override;

  private:
    QPlainTextEdit *widget_;
};
