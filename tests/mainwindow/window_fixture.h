// The whole main window on the virtual kit, its session on the test's thread.
// The kit runs on its manual clock: bucks move only when a test advances it.
#pragma once

#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

#include "../virtualkit/kit_lines.h"
#include "bridgeio.h"
#include "colours.h"
#include "console/console_engine.h"
#include "device/device_session.h"
#include "device/session_view.h"
#include "device/workbench.h"
#include "form.h" // the form's widget classes
#include "mainwindow.h"

inline QColor rgb(const Rgb &c) {
    return QColor(c.red, c.green, c.blue);
}

class WindowTest : public testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        kit("clock manual");
    }

    void TearDown() override { window.reset(); }

    void open_window() { window = std::make_unique<MainWindow>(view, engine, workbench, 0); }
    // Opens the window and switches the chip on the way a user does.
    void open_powered() {
        open_window();
        ui().io0022->click();
        ASSERT_EQ(state(), evalpanel::kConnected);
    }

    Ui::MainWindow &ui() { return *window->form(); }
    int state() const { return session.connection_state(); }
    uint8_t cache(int reg) const { return session.registers()[reg]; }

    QStringList log_lines() {
        window->flush_text();
        return ui().registerlog->toPlainText().split(QLatin1Char('\n'));
    }
    QString last_log_line() { return log_lines().constLast(); }

    QColor base_colour(QLineEdit *edit) { return edit->palette().color(QPalette::Base); }
    QColor connection_colour() {
        return window->connection_label()->palette().color(QPalette::Window);
    }

    // Picks a selector item as a user does (the handler runs on activated).
    void choose(QComboBox *combo, int index) {
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }

    evalpanel::DeviceSession session;
    evalpanel::Workbench workbench{session};
    console::ConsoleEngine engine{session, workbench};
    evalpanel::SessionView view{session};
    std::unique_ptr<MainWindow> window;
};
