// The main window as a whole: how it is built and wired, start-up with and
// without the adapter, losing and finding the adapter again, and what keeps
// the window from showing values it does not have.
#include "window_fixture.h"

#include <QButtonGroup>
#include <QElapsedTimer>
#include <QRegularExpression>

#include "bound_controls.h"
#include "live_rule.h"
#include "console/command_interpreter.h"
#include "console/console.h"

namespace {

QStringList captured_messages;
QtMessageHandler previous_handler;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type != QtDebugMsg && type != QtInfoMsg)
        captured_messages << message;
    previous_handler(type, context, message);
}

// The item a two-bit selector shows for register `reg` bits 7..6 (three
// items: the value 3 shows none).
int shown_item(int reg) {
    const int value = (chip_register(0, reg) >> 6) & 3;
    return value < 3 ? value : -1;
}

TEST_F(WindowTest, BuildsAndWiresWithoutWarnings) {
    captured_messages.clear();
    previous_handler = qInstallMessageHandler(capture);
    open_window();
    qInstallMessageHandler(previous_handler);
    EXPECT_EQ(captured_messages, QStringList());

    // Button ids are positions.
    const BoundControls &controls = window->controls();
    QButtonGroup *group = window->button_group();
    EXPECT_FALSE(group->exclusive());
    for (int i = 0; i < controls.buttons().size(); ++i)
        EXPECT_EQ(group->id(controls.buttons()[i]), i);
    for (QComboBox *combo : controls.combos())
        EXPECT_TRUE(QObject::disconnect(combo, &QComboBox::activated, window.get(),
                                        &MainWindow::on_combobox_activated))
            << qPrintable(combo->objectName());

    EXPECT_EQ(ui().co1270->itemText(255), "never"); // a list the window fills in
    window->flush_text();
    EXPECT_TRUE(ui().plainTextEdit->toPlainText().endsWith("\n> _"));
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d : Application started\\.$")
                    .match(log_lines().first())
                    .hasMatch());
    ui().pushButton->click(); // the form's own connection clears the log
    EXPECT_TRUE(ui().registerlog->toPlainText().isEmpty());
}

// Started without the adapter, the window says so and connects when it is
// plugged in. Losing it later stops polling; a failing command every 100 ms
// must not put off the 500 ms attempts, and polling resumes.
TEST_F(WindowTest, AdapterThatComesAndGoes) {
    kit("unplug");
    open_window();
    EXPECT_EQ(window->connection_label()->text(), "   not connected   ");
    EXPECT_EQ(connection_colour(), rgb(kConnectionBad));
    EXPECT_EQ(window->statusBar()->currentMessage(), "USB board not found.");
    EXPECT_EQ(window->version_label()->text(), "   Chip ver. ---- ----   ");
    EXPECT_EQ(ui().adc010010250100->text(), "---");
    QTimer *reconnect = session.reconnect_timer();
    EXPECT_TRUE(reconnect->isActive());
    kit("plug");
    EXPECT_TRUE(QTest::qWaitFor([&] { return state() != evalpanel::kNotConnected; }, 1500));
    EXPECT_EQ(kit_pin(0, 3), 1) << "pins configured";
    // The expiry after that stops the timer.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !reconnect->isActive(); }, 1500));

    ui().io0022->click();
    ASSERT_EQ(state(), evalpanel::kConnected);
    ui().pollstatus->click();
    EXPECT_TRUE(session.poll_timer()->isActive());
    kit("unplug");
    window->timer_func();
    EXPECT_FALSE(session.poll_timer()->isActive());
    EXPECT_FALSE(ui().pollstatus->isChecked());
    EXPECT_EQ(ui().mode0->text(), "Undefined");
    EXPECT_EQ(ui().current0->text(), "---");
    kit("plug");
    QElapsedTimer clock;
    clock.start();
    while (kit_pin(0, 3) != 1 && clock.elapsed() < 3000) {
        engine.interpreter().parse_cmd("VSET_B0");
        QTest::qWait(100);
    }
    EXPECT_EQ(kit_pin(0, 3), 1) << "the replugged adapter was not opened";
    // Replugged with VIOSYS low: no chip; polling, on when the adapter was
    // lost, resumes.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !reconnect->isActive(); }, 1500));
    EXPECT_EQ(state(), evalpanel::kNotAcknowledged);
    EXPECT_TRUE(session.poll_timer()->isActive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui().pollstatus->isChecked(); }, 1000));
}

// Powered from the console, then the supply taken away behind the window's
// back: nothing may stay "ready" or keep showing the bucks as running.
TEST_F(WindowTest, SupplyLossAndSoftwareResetRereadTheRegisters) {
    open_window();
    EXPECT_FALSE(ui().co0776->isEnabled()) << "nothing read from an unpowered chip";
    // A Clear button would write back a failed read: every other flag raised.
    EXPECT_FALSE(ui().cb0d2->isEnabled());
    console::CommandInterpreter &console = engine.interpreter();
    ui().io0022->click();
    for (const char *line : {"PIN_NRST = 1", "PIN_NSLP = 1"})
        console.parse_cmd(line);
    kit("advance 1000");
    window->write_statusbar(0x12, 0x34, false);
    window->timer_func(); // a tick replaces the last access with "W00:00"
    ASSERT_EQ(window->connection_label()->text(), "   ready   ");
    EXPECT_EQ(connection_colour(), rgb(kConnectionGood));
    EXPECT_EQ(window->statusBar()->currentMessage(), "USB board connected.");
    EXPECT_EQ(window->version_label()->text(), "   Chip ver. 1000 0100   "); // chip ID 0x84
    EXPECT_EQ(window->access_label()->text(), "   W00:00   ");
    EXPECT_TRUE(ui().co0776->isEnabled());
    EXPECT_TRUE(ui().cb0d2->isEnabled());
    EXPECT_EQ(ui().co0776->currentIndex(), shown_item(0x07));
    EXPECT_EQ(ui().mode0->text(), "PWM");

    kit("pin 0 22 0");
    window->timer_func();
    // Unpowered, not failing; nothing of the chip shown as live.
    EXPECT_EQ(window->connection_label()->text(), "   chip not powered (VIOSYS low)   ");
    EXPECT_EQ(connection_colour(), rgb(kNotLive));
    EXPECT_EQ(window->statusBar()->currentMessage(), "USB board connected.");
    EXPECT_EQ(window->version_label()->text(), kChipVersionLabelInitial);
    for (const char *indicator : {"le0d2", "lio0018"})
        EXPECT_EQ(window->findChild<QLineEdit *>(indicator)->text(), kNotLiveText);
    EXPECT_FALSE(ui().cb0d2->isEnabled());
    EXPECT_TRUE(ui().io0022->isEnabled());
    EXPECT_EQ(ui().mode5->text(), "Undefined");
    EXPECT_EQ(ui().multiphase0->text(), "Undefined");
    EXPECT_EQ(ui().current6->text(), "---");
    EXPECT_EQ(ui().chip_temp->text(), "Undefined");
    EXPECT_EQ(ui().board_temp->text(), "Not available");
    EXPECT_FALSE(ui().io0022->isChecked());
    EXPECT_FALSE(ui().co0776->isEnabled());

    ui().io0022->click(); // supply back: brought up and read again
    EXPECT_TRUE(ui().co0776->isEnabled());
    EXPECT_EQ(cache(0x07), chip_register(0, 0x07));

    // A software reset is followed by the registers, and its box clears.
    choose(ui().co0776, 1);
    ASSERT_NE(chip_register(0, 0x07) & 0xC0, 0);
    ui().cb110->click(); // "Assert SW Reset"
    QApplication::processEvents();
    EXPECT_FALSE(ui().cb110->isChecked());
    EXPECT_EQ(cache(0x07), chip_register(0, 0x07));
    EXPECT_EQ(ui().co0776->currentIndex(), shown_item(0x07));
}

TEST_F(WindowTest, StatusFieldsFitAtTheMinimumSizeAndTheConsoleToggles) {
    open_powered();
    window->resize(window->minimumSizeHint());
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const auto fits = [](QLineEdit *field, const QString &text) {
        const int room = field->contentsRect().width() - 4;
        return field->fontMetrics().horizontalAdvance(text) <= room;
    };
    for (QLineEdit *mode : {ui().mode0, ui().mode5})
        EXPECT_TRUE(fits(mode, "Soft Start-Up")) << qPrintable(mode->objectName());
    EXPECT_TRUE(fits(ui().current0, "20470 mA"));
    EXPECT_TRUE(fits(ui().board_temp, "Not available"));
    EXPECT_TRUE(fits(ui().board_temp, QString::fromUtf8("-40.0 °C")));
    EXPECT_TRUE(fits(ui().multiphase0, "Master; 3/3 Phases Active"));
    // The Clear buttons of the flags do not overlap one another.
    const QList<QPushButton *> clears = window->findChildren<QPushButton *>(
        QRegularExpression("^cb0[de]"));
    ASSERT_FALSE(clears.isEmpty());
    for (QPushButton *a : clears) {
        for (QPushButton *b : clears) {
            const QRect ra(a->mapTo(window.get(), QPoint()), a->size());
            const QRect rb(b->mapTo(window.get(), QPoint()), b->size());
            EXPECT_TRUE(a == b || !ra.intersects(rb))
                << qPrintable(a->objectName() + " " + b->objectName());
        }
    }

    // The console is hidden at start; its toggle shows it with the focus.
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_FALSE(ui().plainTextEdit->isVisible());
    ui().actionConsole->setChecked(true);
    EXPECT_TRUE(ui().plainTextEdit->isVisible());
    EXPECT_TRUE(ui().plainTextEdit->hasFocus());
    ui().actionConsole->setChecked(false);
    EXPECT_FALSE(ui().plainTextEdit->isVisible());
}

TEST_F(WindowTest, ClosingEndsTheProcessWithStatusZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            open_window();
            session.poll_timer()->start(150);
            window->close();
            std::exit(3); // not reached when closing ends the process
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
