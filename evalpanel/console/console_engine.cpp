#include "console/console_engine.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>

#include "device/device_session.h"
#include "device/workbench.h"

namespace console {

ConsoleEngine::ConsoleEngine(evalpanel::DeviceSession &session, evalpanel::Workbench &workbench,
                             QObject *parent)
    : QObject(parent), session_(session), interpreter_(*this, session, workbench, *this),
      scripts_(*this, [this](const char *line) { interpreter_.parse_cmd(line); }) {
    interpreter_.set_interrupt(&interrupt_);
    scripts_.set_interrupt(&interrupt_);
    scripts_.set_printer([this](const QString &text) { console_print(text); });
    // A recording that polling no longer feeds is said where it was started.
    connect(&workbench, &evalpanel::Workbench::recording_note, this,
            [this](const QString &message) { console_print(message); });
}

void ConsoleEngine::execute(const QByteArray &line) {
    const evalpanel::DeviceSession::WriteOrigin origin(session_, QStringLiteral("console"));
    if (scripts_.run_script(line.constData()) == -1)
        interpreter_.parse_cmd(line.constData());
    finish();
}

void ConsoleEngine::run_script_file(const QByteArray &name) {
    const evalpanel::DeviceSession::WriteOrigin origin(session_, QStringLiteral("console"));
    scripts_.run_file(name.toStdString(), {});
    finish();
}

ConsoleEngine::BatchResult ConsoleEngine::run_batch(const QByteArray &path,
                                                    const QList<QByteArray> &arguments,
                                                    bool keep_going, FILE *stream) {
    const evalpanel::DeviceSession::WriteOrigin origin(session_, QStringLiteral("console"));
    BatchResult result;
    ScriptRunner::Arguments args;
    for (const QByteArray &word : arguments) {
        if (args.count == ScriptRunner::kMaxArguments)
            break;
        args.word[args.count++] = word.toStdString();
    }
    const auto text = [](const std::string &s) { return QString::fromLocal8Bit(s.c_str()); };
    interpreter_.set_check_observer([&](const CommandInterpreter::Check &check) {
        const auto &at = scripts_.position();
        result.checks.push_back(
            {text(at.file), at.line, text(at.from), check.failure, check.compared, check.seconds});
    });
    scripts_.clear_failure();
    scripts_.set_failure_check([this, keep_going] {
        return !interpreter_.succeeded() && !(keep_going && interpreter_.mismatched());
    });
    int ran = 1;
    if (stream != nullptr)
        scripts_.run_stream(stream, path.toStdString(), args);
    else
        ran = scripts_.run_file(path.toStdString(), args);
    scripts_.set_failure_check(nullptr);
    interpreter_.set_check_observer(nullptr);
    if (ran == -1) {
        result.ok = false;
        result.file = QString::fromLocal8Bit(path);
        result.message = QStringLiteral("cannot read the file");
    } else if (const auto &failure = scripts_.failure()) {
        result.ok = false;
        result.file = text(failure->file);
        result.line = failure->line;
        result.from = text(failure->from);
        result.message = failure->message.empty() ? interpreter_.failure() : text(failure->message);
        scripts_.clear_failure();
    } else if (interrupt_.requested()) {
        // Stopped from outside (a signal): where the script was.
        const auto &at = scripts_.position();
        result.ok = false;
        result.file = at.file.empty() ? QString::fromLocal8Bit(path) : text(at.file);
        result.line = at.line;
        result.from = text(at.from);
        result.message = QStringLiteral("Stopped.");
    }
    finish();
    return result;
}

void ConsoleEngine::finish() {
    if (interrupt_.requested()) {
        interrupt_.clear();
        console_print(QStringLiteral("Stopped."));
    }
    emit finished();
}

void ConsoleEngine::pace(const QString &text) {
    unconsumed_ += weight(text);
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
