// The About box: logo, kit name, version, the toolkit's version and licence
// and where its source code is, and an OK button. Built anew for every
// opening and shown modally.
#pragma once

#include <QString>

class QDialog;
class QWidget;

namespace evalpanel {

// Constant texts of the box.
inline constexpr const char *kKitName = "RX5120 Evaluation kit";
// The project's version, set by CMake for this library's users as well.
inline constexpr const char *kVersionText = "Version " EVALPANEL_VERSION;

// "This application uses Qt framework <version>." for a Qt version text such
// as "6.4.2".
QString qt_framework_line(const QString &qt_version);
// "Qt is licensed under the LGPL (<licence version>)." for that Qt version:
// LGPL 2.1 up to Qt 4, LGPL 3 from Qt 5 on.
QString qt_licence_line(const QString &qt_version);
// The rich-text line that links to the source code of that Qt version.
QString qt_source_line(const QString &qt_version);

// Builds the box (not shown) for the Qt version in use, with `parent` as its
// parent window. The caller owns it.
QDialog *build_about_box(QWidget *parent);

// Builds the box, runs it modally and deletes it when it is closed.
void show_about_box(QWidget *parent);

} // namespace evalpanel
