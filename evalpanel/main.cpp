// Program entry, the composition root: the options, the device session, the
// main window, the event loop. Closing the window ends the process
// (MainWindow::closeEvent).
#include <QApplication>
#include <QCommandLineParser>

#include "device/device_session.h"
#include "mainwindow/mainwindow.h"
#include "resources_init.h"

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
    parser.addOption(port_option);
    parser.addOption(adapter_option);
    parser.process(app);

    bool port_ok = false;
    const uint port = parser.value(port_option).toUInt(&port_ok);
    if (!port_ok || port > 65535) {
        fprintf(stderr, "evalpanel: --console-port takes a port number from 0 to 65535\n");
        return 2;
    }
    // The adapter library reads its choice from the environment.
    if (parser.isSet(adapter_option))
        qputenv("BRIDGEIO_ADAPTER", parser.value(adapter_option).toLocal8Bit());

    // The window icon and the About box images.
    evalpanel::register_resources();
    evalpanel::DeviceSession session;
    MainWindow window(session, static_cast<quint16>(port));
    window.show();
    return app.exec();
}
