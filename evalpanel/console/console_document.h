// The console's text as the editor sees it: a document with one text cursor.
// The main window implements it over its plain-text widget; tests implement
// it over a string. Every position is counted in characters.
#pragma once

#include <QString>

namespace console {

class ConsoleDocument {
  public:
    virtual ~ConsoleDocument() = default;

    // Puts the cursor behind the last character of the document.
    virtual void move_to_end() = 0;
    // Moves the cursor n characters towards the start (not past it).
    virtual void move_left(int n) = 0;
    // Inserts text at the cursor; the cursor ends up behind it.
    virtual void insert_text(const QString &text) = 0;
    // Deletes n characters before the cursor (as far as there are any).
    virtual void delete_before(int n) = 0;
    // Deletes the character after the cursor, if there is one.
    virtual void delete_after() = 0;
    // Appends text as a new paragraph (line) at the end of the document and
    // leaves the cursor at the end.
    virtual void append_paragraph(const QString &text) = 0;
};

} // namespace console
