// The console as the main window uses it: the line editor, whose entered
// lines go to the script runner and, when that declines, to the interpreter.
// The window forwards its console widget's key presses (key_press), the relay
// hands it network bytes (relay), the script buttons run files
// (run_script_file), and the window implements ConsoleHost and
// ConsoleDocument.
#pragma once

#include <QByteArray>
#include <QString>

#include "console/command_interpreter.h"
#include "console/console_document.h"
#include "console/console_host.h"
#include "console/line_editor.h"
#include "console/script_runner.h"

namespace console {

class Console {
  public:
    Console(ConsoleHost &host, evalpanel::DeviceSession &session, ConsoleDocument &document);

    // Prints the help text and the first prompt.
    void start();

    // One key press of the console widget; false when the widget should
    // handle it itself.
    bool key_press(int key, const QString &text) { return editor_.key_press(key, text); }
    // Bytes typed remotely (or pasted), as key presses.
    void feed(const QByteArray &bytes) { editor_.feed(bytes); }
    // One read of the network relay: the bytes before the first zero byte
    // are fed as key presses, each traced.
    void relay(const QByteArray &received);
    // A script button: runs the file without arguments. A missing file does
    // nothing. Refused (false) while a console command is still running.
    bool run_script_file(const char *name);

    LineEditor &editor() { return editor_; }
    ScriptRunner &scripts() { return scripts_; }
    CommandInterpreter &interpreter() { return interpreter_; }

  private:
    void execute(const char *line);

    ConsoleHost &host_;
    CommandInterpreter interpreter_;
    ScriptRunner scripts_;
    LineEditor editor_;
};

} // namespace console
