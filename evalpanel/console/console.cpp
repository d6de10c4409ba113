#include "console.h"

#include "console/console_trace.h"

namespace console {

Console::Console(ConsoleHost &host, evalpanel::DeviceSession &session, ConsoleDocument &document)
    : host_(host), interpreter_(host, session, document),
      scripts_(document, [this](const char *line) { interpreter_.parse_cmd(line); }),
      editor_(
          document, [this](const char *line) { execute(line); },
          [this] { return host_.clipboard_text(); }) {}

void Console::start() {
    interpreter_.help("help");
    editor_.show_first_prompt();
}

void Console::execute(const char *line) {
    if (scripts_.run_script(line) == -1)
        interpreter_.parse_cmd(line);
}

void Console::relay(const QByteArray &received) {
    const qsizetype end = received.indexOf('\0');
    const QByteArray text = end < 0 ? received : received.left(end);
    for (char byte : text)
        trace("relay key %c", byte);
    editor_.feed(text);
}

bool Console::run_script_file(const char *name) {
    return editor_.run_exclusive([this, name] { scripts_.run_script(name); });
}

} // namespace console
