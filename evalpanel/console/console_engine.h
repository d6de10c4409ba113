// The console's device side: the script runner and the interpreter, on the
// device thread beside the session. It takes one entered line or script
// button at a time (execute, run_script_file, normally invoked queued from
// the GUI) and reports everything it prints, logs and draws through
// signals, ending each with finished(). A stop request (request_stop, from
// any thread) ends scripts, loops, wait and the bus test at their next step;
// the engine then prints "Stopped.".
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdio>
#include <vector>

#include "console/command_interpreter.h"
#include "console/console_document.h"
#include "console/console_host.h"
#include "console/interrupt.h"
#include "console/script_runner.h"

namespace evalpanel {
class DeviceSession;
class Workbench;
} // namespace evalpanel

namespace console {

// One editing step of the console document, replayed on the GUI thread.
enum class DocumentEdit { MoveToEnd, MoveLeft, Insert, DeleteBefore, DeleteAfter, Append };

class ConsoleEngine : public QObject, private ConsoleHost, private ConsoleDocument {
    Q_OBJECT

  public:
    ConsoleEngine(evalpanel::DeviceSession &session, evalpanel::Workbench &workbench,
                  QObject *parent = nullptr);

    // One entered line: a script file when its first word names one, else
    // a command.
    void execute(const QByteArray &line);
    // A script button or --run: runs the file (any name) without
    // arguments; a missing file does nothing.
    void run_script_file(const QByteArray &name);

    // A script run to its first failing command (batch mode): where it
    // failed and what the command said. `line` is 0 when the file itself
    // could not be read.
    // One expect that ran: the innermost script's file and line, where it
    // was called from, and its failure (null when it passed).
    struct BatchCheck {
        QString file;
        int line = 0;
        QString from;
        QString failure;
        bool compared = true; // false: it could not compare (an error)
        double seconds = 0;
    };
    struct BatchResult {
        bool ok = true;
        QString file;
        int line = 0;
        QString message;
        QString from; // " (from outer.txt:4)" inside a called script
        std::vector<BatchCheck> checks;
    };
    // Runs the file with its arguments ($0...), stopping at the first
    // command that fails; with `keep_going` an expect that finds another
    // value does not stop it. `stream`, when given, is read instead of the
    // file, which then only names it.
    BatchResult run_batch(const QByteArray &path, const QList<QByteArray> &arguments,
                          bool keep_going = false, FILE *stream = nullptr);

    // Thread-safe: the GUI sets and clears the stop request.
    void request_stop() { interrupt_.request(); }
    void clear_stop() { interrupt_.clear(); }
    // Thread-safe: the GUI has drawn `count` of the messages and edits sent.
    void consumed(int count) { unconsumed_ -= count; }

    // Messages and edits sent but not yet drawn beyond which a command
    // waits for the GUI: a loop that prints without end runs at the pace
    // of the window instead of filling memory with queued output. A
    // message counts one, and one more for every 64 characters it has, so
    // long messages are paced by their size.
    static constexpr int kMaxUnconsumed = 512;
    static int weight(const QString &text) { return 1 + static_cast<int>(text.size() / 64); }

    CommandInterpreter &interpreter() { return interpreter_; }

  signals:
    void printed(const QString &text);
    void logged(const QString &line);
    void edited(console::DocumentEdit edit, const QString &text, int count);
    void refresh_requested();
    void finished();

  private:
    void finish();

    // Counts one output that has just been sent and waits while the GUI is
    // too far behind. Sent first: a message heavier than the whole budget
    // must not wait for a consumer that never got it.
    void pace(const QString &text);

    // ConsoleHost
    void console_print(const QString &text) override {
        emit printed(text);
        pace(text);
    }
    void append_command_log(const QString &line) override { emit logged(line); }
    void refresh_display() override { emit refresh_requested(); }
    void sleep_ms(int ms) override;
    int64_t tick_ms() override;
    // ConsoleDocument: the bus test draws into the console directly.
    void edit(DocumentEdit e, const QString &text, int count) {
        emit edited(e, text, count);
        pace(text);
    }
    void move_to_end() override { edit(DocumentEdit::MoveToEnd, QString(), 0); }
    void move_left(int n) override { edit(DocumentEdit::MoveLeft, QString(), n); }
    void insert_text(const QString &text) override { edit(DocumentEdit::Insert, text, 0); }
    void delete_before(int n) override { edit(DocumentEdit::DeleteBefore, QString(), n); }
    void delete_after() override { edit(DocumentEdit::DeleteAfter, QString(), 0); }
    void append_paragraph(const QString &text) override { edit(DocumentEdit::Append, text, 0); }

    Interrupt interrupt_;
    std::atomic<int> unconsumed_{0};
    evalpanel::DeviceSession &session_;
    CommandInterpreter interpreter_;
    ScriptRunner scripts_;
};

} // namespace console
