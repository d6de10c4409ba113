#include "app/batch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <atomic>
#include <cstdio>

#include "console/console_engine.h"
#include "app/device_thread.h"
#include "app/junit_report.h"
#include "device/file_access.h"
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

// A script from standard input larger than this is no script.
constexpr qint64 kMaxStandardInput = 16 * 1024 * 1024;

// Standard input copied into a file that a loop can go back in; nullptr
// with the reason when it cannot be.
FILE *read_standard_input(QString *error) {
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        *error = in.errorString();
        return nullptr;
    }
    FILE *copy = std::tmpfile();
    if (copy == nullptr) {
        *error = QStringLiteral("no temporary file for it");
        return nullptr;
    }
    char buffer[16384];
    qint64 total = 0;
    for (qint64 n; (n = in.read(buffer, sizeof buffer)) > 0;) {
        total += n;
        if (total > kMaxStandardInput) {
            *error = QStringLiteral("more than %1 bytes").arg(kMaxStandardInput);
            std::fclose(copy);
            return nullptr;
        }
        if (std::fwrite(buffer, 1, static_cast<size_t>(n), copy) != static_cast<size_t>(n)) {
            *error = QStringLiteral("cannot copy it");
            std::fclose(copy);
            return nullptr;
        }
    }
    std::rewind(copy);
    return copy;
}

QString located(const QString &file, int line, const QString &from) {
    return (line > 0 ? QStringLiteral("%1:%2").arg(file).arg(line) : file) + from;
}

} // namespace

int run_batch(const BatchOptions &options) {
    const QString &file = options.file;
    const QStringList &arguments = options.arguments;
    const bool from_stdin = file == QLatin1String("-");
    if (!from_stdin) {
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable()) {
            print_error(QStringLiteral("evalpanel: --batch: cannot read %1: %2")
                            .arg(file, info.exists() ? QStringLiteral("not a readable file")
                                                     : QStringLiteral("no such file")));
            return kBatchBadUsage;
        }
    }
    if (arguments.size() > console::ScriptRunner::kMaxArguments) {
        print_error(QStringLiteral("evalpanel: --batch: at most %1 script arguments")
                        .arg(console::ScriptRunner::kMaxArguments));
        return kBatchBadUsage;
    }
    // The report is refused, like any output, before anything runs.
    static QFile junit;
    QString junit_error;
    if (!options.junit.isEmpty() && !open_stream_file(junit, options.junit, &junit_error)) {
        print_error(QStringLiteral("evalpanel: --junit: %1").arg(junit_error));
        return kBatchBadUsage;
    }
    FILE *script_input = nullptr;
    if (from_stdin) {
        QString error;
        script_input = read_standard_input(&error);
        if (script_input == nullptr) {
            print_error(QStringLiteral("evalpanel: --batch: cannot read -: %1").arg(error));
            return kBatchBadUsage;
        }
    }
    QList<QByteArray> words;
    for (const QString &a : arguments)
        words << a.toLocal8Bit();
    const QByteArray path = system_file_name(file);
    const bool keep_going = options.keep_going;
    const bool keep_session_log = options.keep_session_log;

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
    QObject::connect(&device.session(), &DeviceSession::chip_written, &device.session(),
                     [](const QString &origin, const QString &line) { session_log.add(origin, line); },
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
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(&session, [&session, &engine, app, path, words, keep_going,
                                         script_input, clock] {
        session.connect_adapter();
        int status = kBatchOk;
        QString message;
        console::ConsoleEngine::BatchResult result;
        if (!session.have_adapter()) {
            status = kBatchNoAdapter;
            const QString reason =
                session.open_failure().isEmpty() ? session.open_result() : session.open_failure();
            message = QStringLiteral("evalpanel: no adapter: %1").arg(reason);
            result = {false, QString::fromLocal8Bit(path), 0, message, {}, {}};
        } else {
            result = engine.run_batch(path, words, keep_going, script_input);
            if (const int signal = stop_signal.load(); signal != 0) {
                status = support::stop_signal_status(signal);
                message = QStringLiteral("%1: Stopped.")
                              .arg(located(result.file, result.line, result.from));
            } else if (!result.ok && result.line == 0 && result.message != kCannotRead) {
                // The file as a whole was refused (its encoding).
                status = kBatchBadUsage;
                message = QStringLiteral("evalpanel: --batch: %1: %2")
                              .arg(result.file, result.message);
            } else if (!result.ok) {
                status = result.line > 0 ? kBatchFailed : kBatchBadUsage;
                message =
                    result.line > 0
                        ? QStringLiteral("%1: %2")
                              .arg(located(result.file, result.line, result.from), result.message)
                        : QStringLiteral("evalpanel: --batch: cannot read %1").arg(result.file);
            }
        }
        // Checks that failed while the run went on, and the count of them.
        QStringList report;
        int failed = 0;
        for (const auto &check : result.checks) {
            if (check.failure.isNull())
                continue;
            ++failed;
            const QString line =
                QStringLiteral("%1: %2").arg(located(check.file, check.line, check.from),
                                             check.failure);
            if (line != message)
                report << line;
        }
        if (!message.isEmpty())
            report << message;
        if (keep_going) {
            report << QStringLiteral("%1 checks, %2 failed").arg(result.checks.size()).arg(failed);
            if (status == kBatchOk && failed > 0)
                status = kBatchFailed;
        }
        if (junit.isOpen()) {
            const QString name = QString::fromLocal8Bit(path);
            const QByteArray xml = junit_report(name, result, clock.elapsed() / 1000.0);
            if (junit.write(xml) != xml.size() || !junit.flush()) {
                report << QStringLiteral("evalpanel: --junit: cannot write %1: %2")
                              .arg(junit.fileName(), junit.errorString());
                if (status == kBatchOk)
                    status = kBatchFailed;
            }
            junit.close();
        }
        // Behind everything printed: the same thread posts both.
        for (const QString &line : report)
            session_log.add(QStringLiteral("batch"), line);
        QMetaObject::invokeMethod(app, [status, report] {
            std::fflush(stdout);
            for (const QString &line : report)
                print_error(line);
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
