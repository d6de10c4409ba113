// The console's one-line command editor, free of widgets: it keeps the input
// line, the cursor and the history, and mirrors every change into a
// ConsoleDocument, where a "|" marks the cursor. The main window hands it the
// key presses of its console widget; the network relay and the clipboard
// paste hand it bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include <QByteArray>
#include <QString>

#include "console_document.h"

namespace console {

class LineEditor {
  public:
    static constexpr int kLineCapacity = 256;  // line_buffer size
    static constexpr int kMaxLineLength = 255; // characters a line may hold
    static constexpr int kHistorySlots = 256;

    // Starts one entered line (the script runner, then the interpreter).
    // The line counts as running until finish_line is called, which may
    // happen inside the executor or later.
    using Executor = std::function<void(const char *line)>;
    // Pastes the system clipboard (Control+V): the console feeds its text
    // a piece at a time.
    using Paster = std::function<void()>;

    LineEditor(ConsoleDocument &document, Executor execute, Paster paste);

    // Writes the first prompt, "\n> _", at the document's cursor.
    void show_first_prompt();

    // One key press: the key code (Qt::Key) and the event's text. Returns true
    // when the editor consumed it, false when the widget should get it
    // (Control, Control+C, and keys the editor has no use for).
    // Keys that arrive while an entered line is still running are held and
    // handled, in order, once it has finished; they count as consumed.
    bool key_press(int key, const QString &text);

    // Feeds bytes as synthetic key presses: 10 and 13 become Return, every
    // other byte a key whose code is the byte as a signed 8-bit number and
    // whose text is that one (Latin-1) character. The byte 0x16 (Control+V)
    // is passed over: text typed or pasted never pastes again.
    void feed(const QByteArray &bytes);

    // Drops the keys waiting to be handled and the line being typed (the
    // input of a network client that has gone).
    void discard_input();

    // Starts work that is not an entered line (a script button) under the
    // same rule: keys arriving meanwhile are held until finish_exclusive.
    // Refused (false) while a line or other work is still running.
    bool run_exclusive(const std::function<void()> &work);

    // The entered line has ended: a new prompt, then the held keys. Output
    // the line printed last, when given, goes in with the prompt in one edit.
    void finish_line(const QString &output = QString());
    // The work of run_exclusive has ended: the held keys.
    void finish_exclusive();

    // Editor state, for the host and for tests.
    QByteArray line() const { return QByteArray(line_buffer_, line_length_); }
    int line_length() const { return line_length_; }
    int cursor_offset() const { return cursor_offset_; }
    bool busy() const { return busy_; }
    std::size_t pending_keys() const { return pending_.size(); }

  private:
    struct Key {
        int code;
        QString text;
    };

    bool handle_key(int key, const QString &text);
    void drain_pending();
    // Types the printable keys at the front of pending_ in one edit of the
    // document when the cursor is at the end of the line; false when the
    // front key is not such a key.
    bool type_run();
    bool final_step();
    void insert_marker();
    void insert_char(char c);
    void backspace();
    void delete_forward();
    void execute_line();
    void history_up();
    void history_down();
    void show_history_slot(int slot);
    bool slot_empty(int slot) const { return history_[slot][0] == '\0'; }

    ConsoleDocument &document_;
    Executor execute_;
    Paster paste_;

    char line_buffer_[kLineCapacity] = {};
    int line_length_ = 0;
    int cursor_offset_ = 0;

    // A ring of kHistorySlots slots. Slot history_next_ is never a stored
    // line: it is empty, or holds the line that was being typed when browsing
    // began. So the ring keeps the last kHistorySlots - 1 lines, and Up stops
    // at the oldest of them.
    char history_[kHistorySlots][kLineCapacity] = {};
    int history_next_ = 0;
    int history_shown_ = 0;

    bool busy_ = false;     // an entered line or other work is running
    bool draining_ = false; // held keys are being handled
    bool starting_ = false; // inside the executor: the caller drains
    std::deque<Key> pending_;
};

} // namespace console
