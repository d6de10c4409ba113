// A console document over a string, standing in for the console widget.
#pragma once

#include <algorithm>

#include <QString>
#include <QStringList>

#include "console/console_document.h"

class FakeDocument : public console::ConsoleDocument {
  public:
    QString text;
    int cursor = 0;

    void move_to_end() override { cursor = static_cast<int>(text.size()); }
    void move_left(int n) override { cursor = std::max(0, cursor - n); }
    void insert_text(const QString &t) override {
        text.insert(cursor, t);
        cursor += static_cast<int>(t.size());
    }
    void delete_before(int n) override {
        n = std::min(n, cursor);
        text.remove(cursor - n, n);
        cursor -= n;
    }
    void delete_after() override {
        if (cursor < text.size())
            text.remove(cursor, 1);
    }
    // Like a plain-text widget: the first paragraph of an empty document
    // takes no line break.
    void append_paragraph(const QString &t) override {
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += t;
        cursor = static_cast<int>(text.size());
    }

    QString last_line() const { return text.section(QLatin1Char('\n'), -1); }
    QStringList lines() const { return text.split(QLatin1Char('\n')); }
};
