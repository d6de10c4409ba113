// The main window's form, generated from mainwindow.ui: Ui::MainWindow builds
// the widget tree on a QMainWindow. Users of the form include this header.
#pragma once

#include "ui_mainwindow.h"
