// The console as the main window uses it: the line editor, whose entered
// lines go to the script runner and, when that declines, to the interpreter.
// The window forwards its console widget's key presses (key_press), the relay
// hands it network bytes (relay), the script buttons run files
// (run_script_file), and the window implements ConsoleHost and
// ConsoleDocument.
//
// A running command can be stopped: Escape in the console, or the byte 0x03
// from the network client. Scripts, loops, wait and the bus test then end at
// their next step and the console prints "Stopped.".
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

#include "console/command_interpreter.h"
#include "console/console_document.h"
#include "console/console_host.h"
#include "console/interrupt.h"
#include "console/line_editor.h"
#include "console/script_runner.h"

namespace console {

class Console {
  public:
    // Pasted text is typed at most this many bytes per turn of the event
    // loop, so a long paste neither freezes the window nor piles up keys.
    static constexpr int kPasteChunk = 512;

    Console(ConsoleHost &host, evalpanel::DeviceSession &session, ConsoleDocument &document);

    // Prints the help text and the first prompt.
    void start();

    // One key press of the console widget; false when the widget should
    // handle it itself. Escape while a command runs stops it.
    bool key_press(int key, const QString &text);
    // Bytes of the network client, as key presses. A zero byte ends the
    // text; 0x03 stops the running command and is not typed.
    void relay(const QByteArray &received);
    // Types the clipboard's text, a piece per turn of the event loop.
    void paste_clipboard();
    // A script button: runs the file without arguments. A missing file does
    // nothing. Refused (false) while a console command is still running.
    bool run_script_file(const char *name);

    // Whether a command (a typed line or a script button's script) runs.
    bool busy() const { return editor_.busy(); }
    void request_stop();
    // Drops what waits to be typed and the line being typed.
    void discard_input();
    // Runs each time a command has ended (the editor may still be leaving
    // its busy state: defer what needs it idle).
    void set_idle_callback(std::function<void()> idle) { idle_ = std::move(idle); }

    LineEditor &editor() { return editor_; }
    ScriptRunner &scripts() { return scripts_; }
    CommandInterpreter &interpreter() { return interpreter_; }

  private:
    void execute(const char *line);
    void finished();
    void type_pasted();

    ConsoleHost &host_;
    Interrupt interrupt_;
    CommandInterpreter interpreter_;
    ScriptRunner scripts_;
    LineEditor editor_;
    QByteArray pasted_;
    bool paste_scheduled_ = false;
    std::function<void()> idle_;
    // Owns the deferred calls, which die with the console.
    QObject context_;
};

} // namespace console
