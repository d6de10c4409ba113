// Program entry, the composition root: the options, the device thread with
// the session, the workbench and the console engine on it, the main window
// on the GUI thread, the event loop. Closing the window ends the process
// (MainWindow::closeEvent), whatever the device thread is waiting for.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "console/console.h"
#include "console/console_engine.h"
#include "console/device_thread.h"
#include "console/relay.h"
#include "device/session_log.h"
#include "device/session_view.h"
#include "mainwindow/mainwindow.h"
#include "support/regular_file.h"
#include "windows/resources_init.h"

namespace {

void fail(const QString &message) {
    std::fprintf(stderr, "evalpanel: %s\n", qPrintable(message));
    std::exit(2);
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("evalpanel"));
    QApplication::setApplicationVersion(QStringLiteral("0.4.35"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("RX5120 evaluation kit"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port_option(
        QStringLiteral("console-port"),
        QStringLiteral("TCP port of the console relay on 127.0.0.1 (0: no relay)."),
        QStringLiteral("N"), QStringLiteral("23456"));
    const QCommandLineOption adapter_option(
        QStringLiteral("adapter"),
        QStringLiteral("The adapter to open: hidraw path, USB serial number or serial port."),
        QStringLiteral("SPEC"));
    const QCommandLineOption run_option(
        QStringLiteral("run"), QStringLiteral("Runs a script once the adapter is connected."),
        QStringLiteral("FILE"));
    const QCommandLineOption any_user_option(
        QStringLiteral("allow-any-user"),
        QStringLiteral("Lets processes of other users use the console port (and the simulated "
                       "kit's control port)."));
    parser.addOptions({port_option, adapter_option, run_option, any_user_option});
    parser.process(app);

    bool port_ok = false;
    const uint port = parser.value(port_option).toUInt(&port_ok);
    if (!port_ok || port > 65535)
        fail(QStringLiteral("--console-port takes a port number from 0 to 65535"));
    const QString script = parser.value(run_option);
    if (parser.isSet(run_option) && !QFileInfo(script).isFile())
        fail(QStringLiteral("--run: %1 is not a file").arg(script));
    // The adapter library reads these from the environment.
    if (parser.isSet(adapter_option))
        qputenv("BRIDGEIO_ADAPTER", parser.value(adapter_option).toLocal8Bit());
    if (parser.isSet(any_user_option))
        qputenv("BRIDGEIO_KIT_ANY_USER", "1");

    // The window icon and the About box images.
    evalpanel::register_resources();

    // Everything that talks to the adapter lives on the device thread; the
    // objects are made here and moved there before the thread starts, so
    // that no call of theirs ever runs on the GUI thread.
    console::DeviceThread device;
    evalpanel::SessionView view(device.session());
    device.start();
    MainWindow window(view, device.engine(), device.workbench(), static_cast<quint16>(port));
    window.relay().set_allow_any_user(parser.isSet(any_user_option));

    // A record of the run: what the command log and the console showed.
    // Writes to a vanished reader are errors, never the end of the program.
    support::ignore_broken_pipe();
    evalpanel::SessionLog session_log;
    QString log_error;
    if (!session_log.open(evalpanel::SessionLog::default_directory(), &log_error))
        std::fprintf(stderr, "evalpanel: no session log: %s\n", qPrintable(log_error));
    QObject::connect(&window, &MainWindow::command_logged, &window,
                     [&session_log](const QString &line) { session_log.add(QStringLiteral("log"), line); });
    QObject::connect(&window.command_console(), &console::Console::line_entered, &window,
                     [&session_log](const QString &source, const QString &line) {
                         session_log.add(source, line);
                     });
    // Straight from the device thread: the log takes lines from any thread.
    QObject::connect(&device.engine(), &console::ConsoleEngine::printed, &device.engine(),
                     [&session_log](const QString &text) {
                         session_log.add(QStringLiteral("printed"), text);
                     }, Qt::DirectConnection);
    QObject::connect(&window, &MainWindow::ending, &window,
                     [&session_log] { session_log.flush(100); });
    window.show();

    if (!script.isEmpty()) {
        // The script runs once, as soon as the adapter is there: the first
        // change of the connection after the start-up sequence.
        const QByteArray name = script.toLocal8Bit();
        QObject::connect(
            &view, &evalpanel::SessionView::connection_changed, &window,
            [&window, name] {
                QTimer::singleShot(0, &window,
                                   [&window, name] { window.command_console().run_script_file(name); });
            },
            Qt::SingleShotConnection);
    }
    const int status = app.exec();
    session_log.flush(100);
    // As when the window is closed: the device thread may be waiting for
    // an adapter that does not answer, and nothing needs tearing down.
    std::fflush(nullptr);
    std::_Exit(status);
}
