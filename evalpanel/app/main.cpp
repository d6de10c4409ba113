// Program entry, the composition root: the options, the device thread with
// the session, the workbench and the console engine on it, the main window
// on the GUI thread, the event loop. Closing the window ends the process
// (MainWindow::closeEvent), whatever the device thread is waiting for.
// --batch runs a script with no window at all; it, --help and --version
// need no display.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/batch.h"
#include "console/console.h"
#include "console/console_engine.h"
#include "app/device_thread.h"
#include "console/relay.h"
#include "device/device_session.h"
#include "device/file_access.h"
#include "device/session_log.h"
#include "device/session_view.h"
#include "app/kit_port.h"
#include "device/device_session.h"
#include "mainwindow/mainwindow.h"
#include "support/regular_file.h"
#include "windows/resources_init.h"

namespace {

[[noreturn]] void fail(const QString &message) {
    std::fprintf(stderr, "evalpanel: %s\n", qPrintable(message));
    std::fflush(nullptr);
    std::_Exit(2);
}

// Whether the command line asks for something that needs no window: the
// application object is chosen before the options are parsed, and a
// QApplication cannot even start without a display.
bool windowless(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        for (const char *option : {"--batch", "--junit", "--keep-going", "-h", "--help", "--help-all",
                                   "-v", "--version"}) {
            const size_t n = std::strlen(option);
            if (std::strncmp(argv[i], option, n) == 0 && (argv[i][n] == '\0' || argv[i][n] == '='))
                return true;
        }
    }
    return false;
}

// Whether a window could be shown at all: without a display a QApplication
// aborts the process before anything can be said.
bool have_display(int argc, char **argv) {
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0)
            return true;
    return false;
}

struct Options {
    quint16 console_port = console::Relay::kDefaultPort;
    QString script;
    QString batch;
    QStringList arguments;
    bool any_user = false;
    bool session_log = true;
    QString junit;
    bool keep_going = false;
};

quint16 port_value(const QCommandLineParser &parser, const QCommandLineOption &option) {
    bool ok = false;
    const uint port = parser.value(option).toUInt(&ok);
    if (!ok || port > 65535)
        fail(QStringLiteral("--%1 takes a port number from 0 to 65535, not \"%2\"")
                 .arg(option.names().constFirst(), parser.value(option)));
    return static_cast<quint16>(port);
}

// Parses the options; --help and --version end the process here.
Options parse_options(const QCoreApplication &app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("RX5120 evaluation kit"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port_option(
        QStringLiteral("console-port"),
        QStringLiteral("TCP port of the console relay on 127.0.0.1 (0: no relay)."),
        QStringLiteral("N"), QString::number(console::Relay::kDefaultPort));
    const QCommandLineOption kit_port_option(
        QStringLiteral("kit-port"),
        QStringLiteral("TCP port of the simulated kit's control port on 127.0.0.1 (0: none; "
                       "default 23457 or BRIDGEIO_KIT_PORT). Only evalpanel-virtual has one."),
        QStringLiteral("N"));
    const QCommandLineOption kit_serial_option(
        QStringLiteral("kit-serial"),
        QStringLiteral("The simulated adapter's USB serial number (letters, digits, '.', '_', "
                       "'-'; default VK5120-<kit port>). Only evalpanel-virtual has one."),
        QStringLiteral("TEXT"));
    const QCommandLineOption adapter_option(
        QStringLiteral("adapter"),
        QStringLiteral("The adapter to open: hidraw path, USB serial number or serial port."),
        QStringLiteral("SPEC"));
    const QCommandLineOption run_option(
        QStringLiteral("run"), QStringLiteral("Runs a script once the adapter is connected."),
        QStringLiteral("FILE"));
    const QCommandLineOption batch_option(
        QStringLiteral("batch"),
        QStringLiteral("Runs FILE (- : standard input) as a console script with no window, "
                       "the ARGS as $0...; exit status 0 when every line succeeded, 1 at the first failing line "
                       "(FILE:LINE: MESSAGE on stderr), 2 for bad options or a file that "
                       "cannot be read, 3 when no adapter could be opened."),
        QStringLiteral("FILE"));
    const QCommandLineOption any_user_option(
        QStringLiteral("allow-any-user"),
        QStringLiteral("Lets processes of other users use the console port (and the simulated "
                       "kit's control port)."));
    const QCommandLineOption no_log_option(
        QStringLiteral("no-session-log"),
        QStringLiteral("Writes no session log (and removes no old one)."));
    const QCommandLineOption junit_option(
        QStringLiteral("junit"),
        QStringLiteral("With --batch: writes a JUnit XML report to FILE, a testcase per expect "
                       "that ran."),
        QStringLiteral("FILE"));
    const QCommandLineOption keep_going_option(
        QStringLiteral("keep-going"),
        QStringLiteral("With --batch: a failing expect does not stop the run; it ends with "
                       "\"N checks, M failed\" and exit status 1 when any failed."));
    parser.addOptions({port_option, kit_port_option, kit_serial_option, adapter_option, run_option, batch_option,
                       junit_option, keep_going_option, any_user_option, no_log_option});
    parser.addPositionalArgument(QStringLiteral("ARGS"),
                                 QStringLiteral("With --batch: the script's arguments."),
                                 QStringLiteral("[ARGS...]"));
    // Bad options are exit status 2 in every mode, --help and --version 0.
    if (!parser.parse(app.arguments()))
        fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Options o;
    o.console_port = port_value(parser, port_option);
    if (parser.isSet(kit_port_option)) {
        // The kit library reads it from the environment; the option wins.
        qputenv("BRIDGEIO_KIT_PORT", QByteArray::number(port_value(parser, kit_port_option)));
    }
    if (parser.isSet(kit_serial_option)) {
        const QString serial = parser.value(kit_serial_option);
        static const QRegularExpression kSerial(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
        if (!kSerial.match(serial).hasMatch())
            fail(QStringLiteral("--kit-serial takes 1 to 64 letters, digits, '.', '_' or '-', "
                                "not \"%1\"")
                     .arg(serial));
        qputenv("BRIDGEIO_KIT_SERIAL", serial.toLatin1());
    }
    o.script = parser.value(run_option);
    if (parser.isSet(run_option)) {
        const QFileInfo info(o.script);
        if (!info.isFile() || !info.isReadable())
            fail(QStringLiteral("--run: cannot read \"%1\": %2")
                     .arg(o.script, info.exists() ? QStringLiteral("not a readable file")
                                                  : QStringLiteral("no such file")));
    }
    o.batch = parser.value(batch_option);
    o.arguments = parser.positionalArguments();
    if (o.batch.isEmpty() && !o.arguments.isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\" (script arguments go with --batch)")
                 .arg(o.arguments.constFirst()));
    if (!o.batch.isEmpty() && parser.isSet(run_option))
        fail(QStringLiteral("--run and --batch cannot be used together"));
    o.junit = parser.value(junit_option);
    o.keep_going = parser.isSet(keep_going_option);
    if (parser.isSet(junit_option) && o.junit.isEmpty())
        fail(QStringLiteral("--junit needs a file name"));
    if (o.batch.isEmpty() && (parser.isSet(junit_option) || o.keep_going))
        fail(QStringLiteral("%1 goes with --batch FILE")
                 .arg(o.keep_going ? QStringLiteral("--keep-going") : QStringLiteral("--junit")));
    // The adapter library reads these from the environment.
    if (parser.isSet(adapter_option)) {
        qputenv("BRIDGEIO_ADAPTER", parser.value(adapter_option).toLocal8Bit());
        evalpanel::DeviceSession::name_adapter_choice(QStringLiteral("--adapter"));
    }
    o.any_user = parser.isSet(any_user_option);
    o.session_log = !parser.isSet(no_log_option);
    if (o.any_user)
        qputenv("BRIDGEIO_KIT_ANY_USER", "1");
    return o;
}

// The kit's control port is taken before anything else: a second program
// must not run on without it, nor hand the console's port to its kit.
void claim_kit_port(quint16 console_port) {
    QString error;
    const int kit_port = evalpanel::claim_kit_port(&error);
    if (kit_port < 0)
        fail(QStringLiteral("the kit's control port is taken (%1); choose another with "
                            "--kit-port N, or --kit-port 0 for none")
                 .arg(error));
    if (kit_port > 0 && kit_port == console_port)
        fail(QStringLiteral("the console and the kit's control port cannot both be %1")
                 .arg(console_port));
}

// A font whose text box is far taller than its lines: a line edit centres
// that box in its one line and clips the text away.
bool text_overflows_its_lines(const QFont &font) {
    const QFontMetrics metrics(font);
    return metrics.boundingRect(QStringLiteral("Ag")).height() > 2 * metrics.height();
}

// The window's text font. Where the default family is missing (wine without
// its own fonts has no Tahoma behind "MS Shell Dlg"), the fallback can be a
// math font whose extents are several lines high: every line edit would
// look empty. Then the first installed sans-serif that fits takes its place,
// at the same size.
void choose_readable_font() {
    const QFont font = QApplication::font();
    if (!text_overflows_its_lines(font))
        return;
    QStringList candidates{QFontDatabase::systemFont(QFontDatabase::GeneralFont).family(),
                           QStringLiteral("Segoe UI"),        QStringLiteral("Tahoma"),
                           QStringLiteral("DejaVu Sans"),     QStringLiteral("Liberation Sans"),
                           QStringLiteral("Noto Sans"),       QStringLiteral("Arial")};
    candidates += QFontDatabase::families();
    for (const QString &family : candidates) {
        QFont other = font;
        other.setFamilies({family});
        if (QFontInfo(other).family() == family && !text_overflows_its_lines(other)) {
            QApplication::setFont(other);
            return;
        }
    }
}

void name_application() {
    QCoreApplication::setApplicationName(QStringLiteral("evalpanel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(EVALPANEL_VERSION));
}

} // namespace

int main(int argc, char **argv) {
    // Writes to a vanished reader are errors, never the end of the program.
    support::ignore_broken_pipe();
    support::write_standard_streams_as_is();
    if (windowless(argc, argv) || !have_display(argc, argv)) {
        QCoreApplication app(argc, argv);
        name_application();
        const Options options = parse_options(app);
        if (options.batch.isEmpty())
            fail(QStringLiteral("no display to show the window on: set DISPLAY, run it with "
                                "QT_QPA_PLATFORM=offscreen, or use --batch FILE"));
        claim_kit_port(0);
        return evalpanel::run_batch({options.batch, options.arguments, options.session_log,
                                     options.junit, options.keep_going});
    }

    QApplication app(argc, argv);
    name_application();
    const Options options = parse_options(app);
    claim_kit_port(options.console_port);
    choose_readable_font();

    // The window icon and the About box images.
    evalpanel::register_resources();

    // Everything that talks to the adapter lives on the device thread; the
    // objects are made here and moved there before the thread starts, so
    // that no call of theirs ever runs on the GUI thread.
    evalpanel::DeviceThread device;
    evalpanel::SessionView view(device.session());
    device.start();
    MainWindow window(view, device.engine(), device.workbench(), options.console_port);
    if (options.console_port != 0 && !window.relay().server()->isListening())
        fail(QStringLiteral("the console port %1 is taken (%2); choose another with "
                            "--console-port N, or --console-port 0 for none")
                 .arg(options.console_port)
                 .arg(window.relay().server()->errorString()));
    window.relay().set_allow_any_user(options.any_user);

    // A record of the run: what the command log and the console showed.
    evalpanel::SessionLog session_log;
    QString log_error;
    if (options.session_log &&
        !session_log.open(evalpanel::SessionLog::default_directory(), &log_error))
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
    // Every register the chip took, under who wrote it.
    QObject::connect(&device.session(), &evalpanel::DeviceSession::chip_written, &device.session(),
                     [&session_log](const QString &origin, const QString &line) {
                         session_log.add(origin, line);
                     }, Qt::DirectConnection);
    QObject::connect(&window, &MainWindow::ending, &window,
                     [&session_log] { session_log.flush(100); });
    window.show();

    if (!options.script.isEmpty()) {
        // The script runs once, as soon as the adapter is there: the first
        // change of the connection after the start-up sequence.
        const QByteArray name = evalpanel::system_file_name(options.script);
        QObject::connect(
            &view, &evalpanel::SessionView::connection_changed, &window,
            [&window, name] {
                QTimer::singleShot(0, &window, [&window, name] {
                    window.command_console().run_script_file(name);
                });
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
