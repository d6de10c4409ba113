// Program entry: the application object, the main window, the event loop.
// Closing the window ends the process (MainWindow::closeEvent).
#include <QApplication>

#include "mainwindow/mainwindow.h"

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
