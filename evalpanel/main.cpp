// Program entry: the application object, the main window, the event loop.
// Closing the window ends the process (MainWindow::closeEvent).
#include <QApplication>

#include "mainwindow/mainwindow.h"
#include "resources_init.h"

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    // The window icon and the About box images.
    evalpanel::register_resources();
    MainWindow window;
    window.show();
    return app.exec();
}
