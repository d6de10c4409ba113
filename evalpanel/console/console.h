// The console as the main window uses it, on the GUI thread: the line
// editor, whose entered lines go to the console engine on the device thread,
// and the output of the engine drawn into the console document. The window
// forwards its console widget's key presses (key_press), the relay hands it
// network bytes (relay), the script buttons run files (run_script_file).
//
// Nothing here waits for the engine: an entered line is posted to it, keys
// typed meanwhile are held by the editor, and what the engine prints arrives
// queued and is drawn in one batch per turn of the event loop (one append to
// the document and one write to the network client). When the engine lives
// on the same thread (tests), lines run at once and only the drawing waits
// for the event loop.
//
// A running command can be stopped: Escape in the console, or the byte 0x03
// from the network client. Scripts, loops, wait and the bus test then end at
// their next step and the console prints "Stopped.".
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

#include "console/console_document.h"
#include "console/console_engine.h"
#include "console/line_editor.h"

namespace console {

class Console : public QObject {
    Q_OBJECT

  public:
    // Pasted text is typed at most this many bytes per turn of the event
    // loop, so a long paste neither freezes the window nor piles up keys.
    static constexpr int kPasteChunk = 512;

    Console(ConsoleEngine &engine, ConsoleDocument &document, QObject *parent = nullptr);

    // Prints the help text and the first prompt.
    void start();

    // One key press of the console widget; false when the widget should
    // handle it itself. Escape while a command runs stops it.
    bool key_press(int key, const QString &text);
    // Bytes of the network client, as key presses. A zero byte ends the
    // text; 0x03 stops the running command and is not typed.
    void relay(const QByteArray &received);
    // Types the clipboard's text (from set_clipboard), a piece per turn of
    // the event loop.
    void paste_clipboard();
    // A script button: runs the file without arguments. A missing file does
    // nothing. Refused (false) while a console command is still running.
    bool run_script_file(const QByteArray &name);

    // Whether a command (a typed line or a script button's script) runs,
    // or output of one waits to be drawn.
    bool busy() const { return editor_.busy(); }
    void request_stop();
    // Drops what waits to be typed and the line being typed.
    void discard_input();
    // Draws what the engine sent so far (normally done once per turn of
    // the event loop).
    void flush();

    // Runs each time a command has ended and its output is drawn.
    void set_idle_callback(std::function<void()> idle) { idle_ = std::move(idle); }
    // Where printed text goes besides the document: the network client.
    void set_mirror(std::function<void(const QByteArray &)> mirror) {
        mirror_ = std::move(mirror);
    }
    void set_clipboard(std::function<QString()> clipboard) { clipboard_ = std::move(clipboard); }

    LineEditor &editor() { return editor_; }

  signals:
    // A line for the command log.
    void log_line(const QString &line);
    // After every command line: the status bar and the bound controls.
    void refresh_requested();
    // A line handed to the engine, and where its keys came from ("typed",
    // "pasted" or "relayed"), for the session log.
    void line_entered(const QString &source, const QString &line);

  private:
    struct Output {
        bool print; // a printed message; otherwise a document edit or the end
        DocumentEdit edit;
        QString text;
        int count;
        bool end;
    };
    void execute(const char *line);
    void queue(Output output);
    void type_pasted();

    ConsoleEngine &engine_;
    ConsoleDocument &document_;
    LineEditor editor_;
    std::vector<Output> output_;
    bool flush_scheduled_ = false;
    bool flushing_ = false;
    // What the running job is: an entered line ends with a new prompt.
    bool line_running_ = false;
    QByteArray pasted_;
    // Where the keys last fed to the editor came from.
    const char *source_ = "typed";
    bool paste_scheduled_ = false;
    std::function<void()> idle_;
    std::function<void(const QByteArray &)> mirror_;
    std::function<QString()> clipboard_;
};

} // namespace console
