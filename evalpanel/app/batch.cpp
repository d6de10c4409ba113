#include "app/batch.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <atomic>
#include <cstdio>

#include "console/console_engine.h"
#include "app/device_thread.h"
#include "console/script_runner.h"
#include "device/device_session.h"
#include "device/file_access.h"
#include "device/session_log.h"
#include "support/stop_signals.h"

namespace evalpanel {

namespace {

void print_error(const QString &text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

void print_line(const QString &text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    // A line at a time, also into a pipe or a file: whatever ends the run,
    // what was printed has been written.
    std::fflush(stdout);
}

// What the engine says of a file it could not open at all.
const QLatin1String kCannotRead("cannot read the file");

// The signal that asked the run to stop; 0 while none did.
std::atomic<int> stop_signal{0};

// How long a stopped script may take to reach its next step before the
// run ends without it.
constexpr int kStopGraceMs = 3000;

} // namespace

int run_batch(const QString &file, const QStringList &arguments, bool keep_session_log) {
    const QFileInfo info(file);
    if (!info.isFile() || !info.isReadable()) {
        print_error(QStringLiteral("evalpanel: --batch: cannot read %1: %2")
                        .arg(file, info.exists() ? QStringLiteral("not a readable file")
                                                 : QStringLiteral("no such file")));
        return kBatchBadUsage;
    }
    if (arguments.size() > console::ScriptRunner::kMaxArguments) {
        print_error(QStringLiteral("evalpanel: --batch: at most %1 script arguments")
                        .arg(console::ScriptRunner::kMaxArguments));
        return kBatchBadUsage;
    }
    QList<QByteArray> words;
    for (const QString &a : arguments)
        words << a.toLocal8Bit();
    const QByteArray path = system_file_name(file);

    evalpanel::DeviceThread device;
    console::ConsoleEngine &engine = device.engine();
    QCoreApplication *app = QCoreApplication::instance();

    // A batch run keeps its session log like a window's: what the session
    // logged and what the script printed, straight from the device thread.
    static SessionLog session_log;
    QString log_error;
    if (keep_session_log && !session_log.open(SessionLog::default_directory(), &log_error))
        print_error(QStringLiteral("evalpanel: no session log: %1").arg(log_error));
    session_log.add(QStringLiteral("batch"), (QStringList{file} + arguments).join(QLatin1Char(' ')));
    QObject::connect(&device.session(), &DeviceSession::log_line, &device.session(),
                     [](const QString &line) { session_log.add(QStringLiteral("log"), line); },
                     Qt::DirectConnection);
    QObject::connect(&engine, &console::ConsoleEngine::printed, &engine,
                     [](const QString &text) { session_log.add(QStringLiteral("printed"), text); },
                     Qt::DirectConnection);
    // What the commands print arrives here in order; each message drawn
    // lets the engine go on (it waits when too much is not yet drawn).
    QObject::connect(&engine, &console::ConsoleEngine::printed, app,
                     [&engine](const QString &text) {
                         print_line(text);
                         engine.consumed(console::ConsoleEngine::weight(text));
                     });
    QObject::connect(&engine, &console::ConsoleEngine::edited, app,
                     [&engine](console::DocumentEdit edit, const QString &text, int) {
                         // The bus test's lines; its erased steps are not shown.
                         if (edit == console::DocumentEdit::Append)
                             print_line(text.endsWith(QLatin1Char('\n')) ? text.chopped(1) : text);
                         engine.consumed(console::ConsoleEngine::weight(text));
                     });
    // A stop request from outside ends the script as 0x03 does; a second
    // one, or a script that does not reach its next step, ends the run.
    support::watch_stop_signals([&engine, app](int signal) {
        if (stop_signal.exchange(signal) != 0) {
            session_log.flush(100);
            std::fflush(nullptr);
            std::_Exit(support::stop_signal_status(signal));
        }
        engine.request_stop();
        QMetaObject::invokeMethod(app, [signal] {
            QTimer::singleShot(kStopGraceMs, [signal] {
                print_error(QStringLiteral("evalpanel: Stopped."));
                session_log.add(QStringLiteral("batch"), QStringLiteral("Stopped."));
                session_log.flush(100);
                std::fflush(nullptr);
                std::_Exit(support::stop_signal_status(signal));
            });
        });
    });
    device.start();

    DeviceSession &session = device.session();
    QMetaObject::invokeMethod(&session, [&session, &engine, app, path, words] {
        session.connect_adapter();
        int status = kBatchOk;
        QString message;
        if (!session.have_adapter()) {
            status = kBatchNoAdapter;
            const QString reason =
                session.open_failure().isEmpty() ? session.open_result() : session.open_failure();
            message = QStringLiteral("evalpanel: no adapter: %1").arg(reason);
        } else {
            const auto result = engine.run_batch(path, words);
            if (const int signal = stop_signal.load(); signal != 0) {
                status = support::stop_signal_status(signal);
                message = result.line > 0 ? QStringLiteral("%1:%2: Stopped.")
                                                .arg(result.file)
                                                .arg(result.line)
                                          : QStringLiteral("%1: Stopped.").arg(result.file);
            } else if (!result.ok && result.line == 0 && result.message != kCannotRead) {
                // The file as a whole was refused (its encoding).
                status = kBatchBadUsage;
                message = QStringLiteral("evalpanel: --batch: %1: %2")
                              .arg(result.file, result.message);
            } else if (!result.ok) {
                status = result.line > 0 ? kBatchFailed : kBatchBadUsage;
                message =
                    result.line > 0
                        ? QStringLiteral("%1:%2: %3")
                              .arg(result.file)
                              .arg(result.line)
                              .arg(result.message)
                        : QStringLiteral("evalpanel: --batch: cannot read %1").arg(result.file);
            }
        }
        // Behind everything printed: the same thread posts both.
        if (!message.isEmpty())
            session_log.add(QStringLiteral("batch"), message);
        QMetaObject::invokeMethod(app, [status, message] {
            std::fflush(stdout);
            if (!message.isEmpty())
                print_error(message);
            session_log.flush(100);
            QCoreApplication::exit(status);
        });
    });
    const int status = QCoreApplication::exec();
    std::fflush(nullptr);
    // The device thread is left as it is, as when the window closes.
    std::_Exit(status);
}

} // namespace evalpanel
