#include "console.h"

#include <QScopedValueRollback>
#include <QTimer>

#include "console/command_interpreter.h"
#include "console/console_trace.h"

namespace console {

namespace {

// Longest line drawn as it is: the widget lays a paragraph out as a whole,
// so one huge message would hold the window for seconds. The network client
// gets it whole, up to the relay's own cut.
constexpr qsizetype kMaxDrawnLine = 64 * 1024;

QString cut_for_drawing(const QString &text) {
    if (text.size() <= kMaxDrawnLine)
        return text;
    QString out;
    for (qsizetype start = 0; start <= text.size();) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = text.size();
        if (!out.isEmpty() || start > 0)
            out += QLatin1Char('\n');
        const qsizetype length = end - start;
        if (length > kMaxDrawnLine)
            out += text.mid(start, kMaxDrawnLine) +
                   QStringLiteral("\n(a line of %1 characters was cut to %2)")
                       .arg(length)
                       .arg(kMaxDrawnLine);
        else
            out += text.mid(start, length);
        start = end + 1;
    }
    return out;
}

} // namespace

Console::Console(ConsoleEngine &engine, ConsoleDocument &document, QObject *parent)
    : QObject(parent), engine_(engine), document_(document),
      editor_(
          document, [this](const char *line) { execute(line); }, [this] { paste_clipboard(); }) {
    // Queued when the engine runs on the device thread; `this` as context
    // brings everything back to the GUI thread in the order it was sent.
    connect(&engine_, &ConsoleEngine::printed, this, [this](const QString &text) {
        queue({true, DocumentEdit::Append, text, 0, false});
    });
    connect(&engine_, &ConsoleEngine::edited, this,
            [this](DocumentEdit edit, const QString &text, int count) {
                queue({false, edit, text, count, false});
            });
    // The end of a command is drawn at once, with what it printed: the next
    // held line then starts without waiting for another turn of the event
    // loop (a burst of lines from a client runs a line per signal, not per
    // turn).
    connect(&engine_, &ConsoleEngine::finished, this, [this] {
        queue({false, DocumentEdit::MoveToEnd, QString(), 0, true});
        if (!flushing_)
            flush();
    });
    connect(&engine_, &ConsoleEngine::logged, this, &Console::log_line);
    connect(&engine_, &ConsoleEngine::refresh_requested, this, &Console::refresh_requested);
}

void Console::start() {
    // The help text is the engine's, but printing it needs no device.
    queue({true, DocumentEdit::Append, QString::fromLatin1(kHelpText), 0, false});
    flush();
    editor_.show_first_prompt();
}

bool Console::key_press(int key, const QString &text) {
    if (key == Qt::Key_Escape && editor_.busy()) {
        request_stop();
        return true;
    }
    source_ = "typed";
    return editor_.key_press(key, text);
}

void Console::execute(const char *line) {
    // Cleared before the line leaves: a stop sent right behind it counts.
    engine_.clear_stop();
    line_running_ = true;
    const QByteArray copy(line);
    emit line_entered(QString::fromLatin1(source_), QString::fromLocal8Bit(copy));
    QMetaObject::invokeMethod(&engine_, [engine = &engine_, copy] { engine->execute(copy); });
}

bool Console::run_script_file(const QByteArray &name) {
    return editor_.run_exclusive([this, name] {
        engine_.clear_stop();
        line_running_ = false;
        QMetaObject::invokeMethod(&engine_,
                                  [engine = &engine_, name] { engine->run_script_file(name); });
    });
}

void Console::request_stop() {
    if (editor_.busy())
        engine_.request_stop();
}

void Console::queue(Output output) {
    output_.push_back(std::move(output));
    if (!flush_scheduled_) {
        flush_scheduled_ = true;
        QTimer::singleShot(0, this, &Console::flush);
    }
}

void Console::flush() {
    flush_scheduled_ = false;
    // Set while this runs; a nested call leaves it set for the outer one.
    const QScopedValueRollback<bool> running(flushing_, true);
    std::vector<Output> batch;
    batch.swap(output_);
    int drawn = 0;
    for (const Output &o : batch)
        drawn += o.end ? 0 : ConsoleEngine::weight(o.text);
    engine_.consumed(drawn);
    // Consecutive messages are drawn as one paragraph run and sent as one
    // write.
    QString lines;
    bool have_lines = false;
    QByteArray sent;
    const auto draw_lines = [&] {
        if (!have_lines)
            return;
        document_.append_paragraph(lines);
        lines.clear();
        have_lines = false;
        // Before whatever follows: the end of a command may finish a
        // client that waits only for these answers.
        if (mirror_)
            mirror_(sent);
        sent.clear();
    };
    for (Output &o : batch) {
        if (o.print) {
            if (have_lines)
                lines += QLatin1Char('\n');
            lines += cut_for_drawing(o.text);
            have_lines = true;
            sent += o.text.toLatin1() + '\n';
            continue;
        }
        if (o.end) {
            const bool line = line_running_;
            line_running_ = false;
            if (line && have_lines) {
                // The line's last messages and the new prompt: one edit.
                if (mirror_)
                    mirror_(sent);
                sent.clear();
                const QString output = lines;
                lines.clear();
                have_lines = false;
                editor_.finish_line(output);
            } else {
                draw_lines();
                // Finishing may start the next held line at once.
                if (line)
                    editor_.finish_line();
                else
                    editor_.finish_exclusive();
            }
            if (idle_)
                idle_();
            continue;
        }
        draw_lines();
        switch (o.edit) {
        case DocumentEdit::MoveToEnd:
            document_.move_to_end();
            break;
        case DocumentEdit::MoveLeft:
            document_.move_left(o.count);
            break;
        case DocumentEdit::Insert:
            document_.insert_text(o.text);
            break;
        case DocumentEdit::DeleteBefore:
            document_.delete_before(o.count);
            break;
        case DocumentEdit::DeleteAfter:
            document_.delete_after();
            break;
        case DocumentEdit::Append:
            document_.append_paragraph(o.text);
            break;
        }
    }
    draw_lines();
}

void Console::relay(const QByteArray &received) {
    const qsizetype end = received.indexOf('\0');
    QByteArray text = end < 0 ? received : received.left(end);
    for (qsizetype stop = text.indexOf('\x03'); stop >= 0; stop = text.indexOf('\x03')) {
        request_stop();
        text.remove(stop, 1);
    }
    for (char byte : text)
        trace("relay key %c", byte);
    source_ = "relayed";
    editor_.feed(text);
}

void Console::paste_clipboard() {
    const QByteArray bytes = clipboard_ ? clipboard_().toLatin1() : QByteArray();
    trace("clipboard : %s", bytes.constData());
    pasted_ += bytes;
    type_pasted();
}

void Console::type_pasted() {
    paste_scheduled_ = false;
    if (pasted_.isEmpty())
        return;
    const QByteArray piece = pasted_.left(kPasteChunk);
    pasted_.remove(0, piece.size());
    source_ = "pasted";
    editor_.feed(piece);
    if (!pasted_.isEmpty() && !paste_scheduled_) {
        paste_scheduled_ = true;
        QTimer::singleShot(0, this, [this] { type_pasted(); });
    }
}

void Console::discard_input() {
    pasted_.clear();
    editor_.discard_input();
}

} // namespace console
