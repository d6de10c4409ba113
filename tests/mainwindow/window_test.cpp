// The main window as a whole: how it is built and wired, start-up with and
// without the adapter, losing and finding the adapter again, the console
// toggle, and closing.
#include "window_fixture.h"

#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTabWidget>

namespace {

QStringList captured_messages;
QtMessageHandler previous_handler;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type != QtDebugMsg && type != QtInfoMsg)
        captured_messages << message;
    previous_handler(type, context, message);
}

TEST_F(WindowTest, BuildsWithoutConnectionWarnings) {
    captured_messages.clear();
    previous_handler = qInstallMessageHandler(capture);
    open_window();
    qInstallMessageHandler(previous_handler);
    for (const QString &message : captured_messages) {
        EXPECT_FALSE(message.contains(QLatin1String("No matching signal"))) << qPrintable(message);
        EXPECT_FALSE(message.contains(QLatin1String("QObject::connect"))) << qPrintable(message);
    }
}

TEST_F(WindowTest, FindsAndWiresTheBoundControls) {
    open_window();
    const auto names = [](const auto &list) {
        QStringList out;
        for (const auto *w : list)
            out << w->objectName();
        return out;
    };
    // Search order follows the form's tree: within "Main Control" top to
    // bottom.
    const QStringList buttons = names(window->bound_buttons());
    EXPECT_EQ(buttons.size(), 22);
    EXPECT_LT(buttons.indexOf("io0022"), buttons.indexOf("io0023"));
    EXPECT_LT(buttons.indexOf("io0023"), buttons.indexOf("cb110"));
    EXPECT_LT(buttons.indexOf("cb110"), buttons.indexOf("io0024"));
    EXPECT_EQ(window->bound_combos().size(), 17);
    EXPECT_EQ(window->bound_edits().size(), 9);
    EXPECT_EQ(names(window->multiphase_fields()),
              QStringList({"multiphase0", "multiphase1", "multiphase2", "multiphase3",
                           "multiphase4", "multiphase5"}));

    QButtonGroup *group = window->button_group();
    EXPECT_FALSE(group->exclusive());
    for (int i = 0; i < window->bound_buttons().size(); ++i)
        EXPECT_EQ(group->id(window->bound_buttons()[i]), i);

    // Every selector is wired to the shared handler (disconnecting tells).
    for (QComboBox *combo : window->bound_combos())
        EXPECT_TRUE(QObject::disconnect(combo, &QComboBox::activated, window.get(),
                                        &MainWindow::on_combobox_activated))
            << qPrintable(combo->objectName());

    EXPECT_EQ(ui().co0060->count(), 108);
    EXPECT_EQ(ui().co0060->itemText(40), "1000 mV");
    EXPECT_EQ(ui().co1270->count(), 256);
    EXPECT_EQ(ui().co1270->itemText(255), "never");
    EXPECT_EQ(ui().co1270->itemData(7), QVariant(0));
}

TEST_F(WindowTest, HidesWhatTheKitDoesNotUse) {
    open_window();
    EXPECT_TRUE(ui().plainTextEdit->isHidden());
    EXPECT_FALSE(ui().actionOTP->isVisible());
    EXPECT_TRUE(ui().label_65->isHidden());
    EXPECT_TRUE(ui().comboBox_8->isHidden());
    EXPECT_EQ(ui().tabWidget->currentIndex(), 0);
    EXPECT_FALSE(window->poll_timer()->isActive());
    EXPECT_FALSE(ui().pollstatus->isChecked());
    EXPECT_TRUE(ui().autowrite->isChecked());
    // The console opened with the command list and the first prompt.
    EXPECT_TRUE(ui().plainTextEdit->toPlainText().endsWith("\n> _"));
}

TEST_F(WindowTest, StartsWithoutAdapterAndConnectsWhenPluggedIn) {
    kit("unplug");
    open_window();
    EXPECT_EQ(state(), evalpanel::kNotConnected);
    EXPECT_EQ(window->connection_label()->text(), "   not connected   ");
    EXPECT_EQ(connection_colour(), rgb(kConnectionBad));
    EXPECT_EQ(window->statusBar()->currentMessage(), "USB board not found.");
    EXPECT_EQ(window->version_label()->text(), "   Chip ver. ---- ----   ");
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d : Application started\\.$")
                    .match(log_lines().first())
                    .hasMatch())
        << qPrintable(log_lines().first());
    EXPECT_EQ(ui().mode0->text(), "");
    EXPECT_EQ(ui().adc010010250100->text(), "---");

    // Every 500 ms another attempt.
    QTimer *reconnect = window->reconnect_timer();
    EXPECT_TRUE(reconnect->isActive());
    EXPECT_EQ(reconnect->interval(), 500);
    QSignalSpy attempts(reconnect, &QTimer::timeout);
    EXPECT_TRUE(attempts.wait(1500));
    EXPECT_EQ(state(), evalpanel::kNotConnected);

    // Plugged in: the next attempt initialises everything once ...
    kit("plug");
    EXPECT_TRUE(QTest::qWaitFor([&] { return state() != evalpanel::kNotConnected; }, 1500));
    EXPECT_EQ(kit_pin(0, 3), 1) << "pins configured";
    EXPECT_TRUE(reconnect->isActive());
    // ... and the expiry after that stops the timer.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !reconnect->isActive(); }, 1500));
}

TEST_F(WindowTest, LosingTheAdapterStopsPollingUntilTheUserAsksAgain) {
    open_powered();
    ui().pollstatus->click();
    EXPECT_TRUE(window->poll_timer()->isActive());
    EXPECT_EQ(window->poll_timer()->interval(), 150);

    kit("unplug");
    window->timer_func();
    EXPECT_EQ(state(), evalpanel::kNotConnected);
    EXPECT_FALSE(window->poll_timer()->isActive());
    EXPECT_FALSE(evalpanel::device().polling_enabled);
    EXPECT_FALSE(ui().pollstatus->isChecked()) << "unticked by the refresh";
    EXPECT_TRUE(window->reconnect_timer()->isActive());
    EXPECT_EQ(ui().mode0->text(), "Undefined");
    EXPECT_EQ(ui().current0->text(), "---");
    EXPECT_EQ(window->connection_label()->text(), "   not connected   ");

    kit("plug");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->reconnect_timer()->isActive(); }, 2500));
    // The adapter powered up afresh, VIOSYS low: the chip does not answer.
    EXPECT_EQ(state(), evalpanel::kNotAcknowledged);
    EXPECT_FALSE(window->poll_timer()->isActive()) << "polling does not resume by itself";
}

TEST_F(WindowTest, ConsoleToggleShowsAndHidesTheConsole) {
    open_window();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
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
            window->poll_timer()->start(150);
            window->close();
            std::exit(3); // not reached when closing ends the process
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
