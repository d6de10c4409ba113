#include "line_editor.h"

#include <cstring>

#include <QtCore/qnamespace.h>

#include "console_trace.h"

namespace console {

namespace {

constexpr char kMarker[] = "|";

// Clears a flag when it goes out of scope, however the scope is left.
class FlagGuard {
  public:
    explicit FlagGuard(bool &flag) : flag_(flag) { flag_ = true; }
    ~FlagGuard() { flag_ = false; }
    FlagGuard(const FlagGuard &) = delete;
    FlagGuard &operator=(const FlagGuard &) = delete;

  private:
    bool &flag_;
};

} // namespace

LineEditor::LineEditor(ConsoleDocument &document, Executor execute, Paster paste)
    : document_(document), execute_(std::move(execute)), paste_(std::move(paste)) {}

void LineEditor::show_first_prompt() {
    document_.insert_text(QStringLiteral("\n> _"));
}

bool LineEditor::key_press(int key, const QString &text) {
    // Control on its own and Control+C belong to the widget (copying the
    // selection) and never touch the line, so they pass even while busy.
    if (key == Qt::Key_Control)
        return false;
    if (key == Qt::Key_C && !text.isEmpty() && text.at(0).unicode() == 0x03)
        return false;
    if (busy_ || draining_) {
        pending_.push_back({key, text});
        return true;
    }
    bool consumed = handle_key(key, text);
    drain_pending();
    return consumed;
}

void LineEditor::feed(const QByteArray &bytes) {
    for (char byte : bytes) {
        if (byte == 0x16)
            continue;
        if (byte == '\n' || byte == '\r')
            pending_.push_back({Qt::Key_Return, QStringLiteral("\n")});
        else
            pending_.push_back({static_cast<int>(static_cast<int8_t>(byte)),
                                QString(QChar(static_cast<uchar>(byte)))});
    }
    drain_pending();
}

void LineEditor::discard_input() {
    pending_.clear();
    if (busy_ || line_length_ == 0)
        return;
    document_.move_to_end();
    document_.move_left(cursor_offset_);
    document_.delete_before(1);
    document_.move_to_end();
    document_.delete_before(line_length_);
    line_length_ = 0;
    cursor_offset_ = 0;
    insert_marker();
}

bool LineEditor::run_exclusive(const std::function<void()> &work) {
    if (busy_)
        return false;
    busy_ = true;
    {
        FlagGuard starting(starting_);
        work();
    }
    drain_pending();
    return true;
}

void LineEditor::finish_exclusive() {
    busy_ = false;
    if (!starting_)
        drain_pending();
}

void LineEditor::finish_line(const QString &output) {
    busy_ = false;
    // The new prompt with the marker in one edit: the cursor is at the end
    // of the empty line.
    cursor_offset_ = 0;
    document_.move_to_end();
    const QString prompt = QStringLiteral("> ") + QString::fromLatin1(kMarker);
    document_.append_paragraph(output.isNull() ? prompt : output + QLatin1Char('\n') + prompt);
    if (!starting_)
        drain_pending();
}

void LineEditor::drain_pending() {
    if (busy_ || draining_)
        return;
    FlagGuard draining(draining_);
    while (!pending_.empty() && !busy_) {
        if (type_run())
            continue;
        Key key = std::move(pending_.front());
        pending_.pop_front();
        handle_key(key.code, key.text);
    }
}

bool LineEditor::type_run() {
    // Keys fed from the network or a paste arrive by the line: typing them
    // one edit each would lay the console's last paragraph out again for
    // every character.
    const auto printable = [](const Key &k) {
        const ushort c = k.text.isEmpty() ? 0 : k.text.at(0).unicode();
        return k.text.size() == 1 && c >= 0x20 && c <= 0x7E;
    };
    if (cursor_offset_ != 0 || pending_.size() < 2 || !printable(pending_[0]) ||
        !printable(pending_[1]))
        return false;
    QString run;
    while (!pending_.empty() && printable(pending_.front())) {
        // A full line takes no more characters.
        if (line_length_ < kMaxLineLength) {
            const char c = static_cast<char>(pending_.front().text.at(0).unicode());
            line_buffer_[line_length_++] = c;
            run += QLatin1Char(c);
        }
        pending_.pop_front();
    }
    if (run.isEmpty())
        return true;
    trace("typed %s", run.toLatin1().constData());
    // Inserted in front of the marker, which stays where it is.
    document_.move_to_end();
    document_.move_left(1);
    document_.insert_text(run);
    return true;
}

bool LineEditor::handle_key(int key, const QString &text) {
    if (key == Qt::Key_Control)
        return false;
    ushort first = text.isEmpty() ? 0 : text.at(0).unicode();
    if (key == Qt::Key_C && first == 0x03)
        return false;
    // A full line takes no more characters, and the document is left alone:
    // a long burst past the limit costs nothing.
    if (first >= 0x20 && first <= 0x7E && line_length_ >= kMaxLineLength)
        return true;

    // Take the cursor marker out; every path below puts it back.
    document_.move_to_end();
    document_.move_left(cursor_offset_);
    document_.delete_before(1);
    trace("keypress, 0x%08x 0x%02x", static_cast<unsigned>(key), first);

    if (first >= 0x20 && first <= 0x7E) {
        trace("%s", text.toLatin1().constData());
        insert_char(static_cast<char>(first));
        return final_step();
    }
    if (first == 0x16) { // Control+V
        insert_marker();
        if (paste_)
            paste_();
        return true;
    }

    switch (key) {
    case Qt::Key_Escape:
    case Qt::Key_Tab:
        break;
    case Qt::Key_Backspace:
        backspace();
        break;
    case Qt::Key_Return:
        // The prompt and the marker come back when the line has ended.
        execute_line();
        return true;
    case Qt::Key_Delete:
        delete_forward();
        break;
    case Qt::Key_Left:
        trace("Left!");
        if (cursor_offset_ < line_length_)
            ++cursor_offset_;
        break;
    case Qt::Key_Right:
        trace("Rrright!");
        if (cursor_offset_ > 0)
            --cursor_offset_;
        break;
    case Qt::Key_Up:
        history_up();
        break;
    case Qt::Key_Down:
        history_down();
        break;
    default:
        // Not the editor's key: restore the marker and let the widget have it
        // (selection, keypad Enter, function keys and the like).
        insert_marker();
        return false;
    }
    return final_step();
}

bool LineEditor::final_step() {
    trace("pos=%d", cursor_offset_);
    insert_marker();
    return true;
}

void LineEditor::insert_marker() {
    document_.move_to_end();
    document_.move_left(cursor_offset_);
    document_.insert_text(QString::fromLatin1(kMarker));
}

void LineEditor::insert_char(char c) {
    document_.insert_text(QString(QChar::fromLatin1(c)));
    int at = line_length_ - cursor_offset_;
    memmove(line_buffer_ + at + 1, line_buffer_ + at, static_cast<size_t>(cursor_offset_));
    line_buffer_[at] = c;
    ++line_length_;
}

void LineEditor::backspace() {
    if (cursor_offset_ >= line_length_)
        return;
    document_.delete_before(1);
    int at = line_length_ - cursor_offset_; // character before the cursor is at - 1
    memmove(line_buffer_ + at - 1, line_buffer_ + at, static_cast<size_t>(cursor_offset_));
    --line_length_;
}

void LineEditor::delete_forward() {
    if (cursor_offset_ <= 0)
        return;
    document_.delete_after();
    int at = line_length_ - cursor_offset_; // character after the cursor
    memmove(line_buffer_ + at, line_buffer_ + at + 1, static_cast<size_t>(cursor_offset_ - 1));
    --cursor_offset_;
    --line_length_;
}

void LineEditor::execute_line() {
    cursor_offset_ = 0;
    if (line_length_ == 0) {
        document_.append_paragraph(QString());
        document_.insert_text(QStringLiteral("> "));
        insert_marker();
        return;
    }
    char line[kLineCapacity];
    memcpy(line, line_buffer_, static_cast<size_t>(line_length_));
    line[line_length_] = '\0';
    trace("%s", line);

    memset(history_[history_next_], 0, kLineCapacity);
    memcpy(history_[history_next_], line, static_cast<size_t>(line_length_));
    history_next_ = (history_next_ + 1) % kHistorySlots;
    // The slot after the newest line becomes the scratch slot; once the ring
    // is full it held the oldest line, which falls out here.
    memset(history_[history_next_], 0, kLineCapacity);
    history_shown_ = history_next_;
    line_length_ = 0;

    busy_ = true;
    {
        FlagGuard starting(starting_);
        if (execute_)
            execute_(line);
        else
            finish_line();
    }
}

void LineEditor::history_up() {
    document_.move_to_end();
    trace("show %d, hist %d", history_shown_, history_next_);
    int candidate = (history_shown_ + kHistorySlots - 1) % kHistorySlots;
    if (candidate == history_next_ || slot_empty(candidate))
        return;
    cursor_offset_ = 0;
    if (history_shown_ == history_next_) {
        // Browsing starts: keep the line being typed so that Down brings it back.
        memset(history_[history_next_], 0, kLineCapacity);
        memcpy(history_[history_next_], line_buffer_, static_cast<size_t>(line_length_));
    }
    history_shown_ = candidate;
    show_history_slot(candidate);
}

void LineEditor::history_down() {
    document_.move_to_end();
    trace("show %d, hist %d", history_shown_, history_next_);
    if (history_shown_ == history_next_)
        return;
    int candidate = (history_shown_ + 1) % kHistorySlots;
    if (slot_empty(candidate))
        return;
    cursor_offset_ = 0;
    history_shown_ = candidate;
    show_history_slot(candidate);
}

void LineEditor::show_history_slot(int slot) {
    document_.move_to_end();
    document_.delete_before(line_length_);
    const char *text = history_[slot];
    int length = static_cast<int>(strnlen(text, kMaxLineLength));
    document_.insert_text(QString::fromLatin1(text, length));
    memcpy(line_buffer_, text, static_cast<size_t>(length));
    line_length_ = length;
}

} // namespace console
