#include "console/console_engine.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>

#include "device/workbench.h"

namespace console {

ConsoleEngine::ConsoleEngine(evalpanel::DeviceSession &session, evalpanel::Workbench &workbench,
                             QObject *parent)
    : QObject(parent), interpreter_(*this, session, workbench, *this),
      scripts_(*this, [this](const char *line) { interpreter_.parse_cmd(line); }) {
    interpreter_.set_interrupt(&interrupt_);
    scripts_.set_interrupt(&interrupt_);
    // A recording that polling no longer feeds is said where it was started.
    connect(&workbench, &evalpanel::Workbench::recording_note, this,
            [this](const QString &message) { console_print(message); });
}

void ConsoleEngine::execute(const QByteArray &line) {
    if (scripts_.run_script(line.constData()) == -1)
        interpreter_.parse_cmd(line.constData());
    finish();
}

void ConsoleEngine::run_script_file(const QByteArray &name) {
    scripts_.run_script(name.constData());
    finish();
}

void ConsoleEngine::finish() {
    if (interrupt_.requested()) {
        interrupt_.clear();
        console_print(QStringLiteral("Stopped."));
    }
    emit finished();
}

void ConsoleEngine::pace() {
    ++unconsumed_;
    // On the GUI's own thread (tests) nobody could draw meanwhile.
    if (thread() == QCoreApplication::instance()->thread())
        return;
    while (unconsumed_ > kMaxUnconsumed && !interrupt_.requested())
        QThread::msleep(1);
}

void ConsoleEngine::sleep_ms(int ms) {
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

int64_t ConsoleEngine::tick_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace console
