#include "console.h"

#include <QTimer>

#include "console/console_trace.h"

namespace console {

Console::Console(ConsoleHost &host, evalpanel::DeviceSession &session, ConsoleDocument &document)
    : host_(host), interrupt_([this] { host_.process_events(); }, [this] { return host_.tick_ms(); }),
      interpreter_(host, session, document),
      scripts_(document, [this](const char *line) { interpreter_.parse_cmd(line); }),
      editor_(document, [this](const char *line) { execute(line); },
              [this] { paste_clipboard(); }) {
    interpreter_.set_interrupt(&interrupt_);
    scripts_.set_interrupt(&interrupt_);
}

void Console::start() {
    interpreter_.help("help");
    editor_.show_first_prompt();
}

bool Console::key_press(int key, const QString &text) {
    if (key == Qt::Key_Escape && editor_.busy()) {
        request_stop();
        return true;
    }
    return editor_.key_press(key, text);
}

void Console::execute(const char *line) {
    interrupt_.clear();
    if (scripts_.run_script(line) == -1)
        interpreter_.parse_cmd(line);
    finished();
}

void Console::finished() {
    if (interrupt_.requested()) {
        interrupt_.clear();
        host_.console_print(QStringLiteral("Stopped."));
    }
    if (idle_)
        idle_();
}

void Console::request_stop() {
    if (editor_.busy())
        interrupt_.request();
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
    editor_.feed(text);
}

void Console::paste_clipboard() {
    const QByteArray bytes = host_.clipboard_text().toLatin1();
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
    editor_.feed(piece);
    if (!pasted_.isEmpty() && !paste_scheduled_) {
        paste_scheduled_ = true;
        QTimer::singleShot(0, &context_, [this] { type_pasted(); });
    }
}

void Console::discard_input() {
    pasted_.clear();
    editor_.discard_input();
}

bool Console::run_script_file(const char *name) {
    return editor_.run_exclusive([this, name] {
        interrupt_.clear();
        scripts_.run_script(name);
        finished();
    });
}

} // namespace console
