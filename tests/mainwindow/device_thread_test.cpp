// The window as the program runs it: the session, the workbench and the
// console engine on a device thread. Whatever the user does, no exchange
// with the adapter happens on the GUI thread (the kit records the thread of
// every request), and the window stays live while the adapter is silent.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStatusBar>

#include <gtest/gtest.h>

#include <sstream>

#include "../console/temp_files.h"
#include "../virtualkit/kit_lines.h"
#include "console/console.h"
#include "app/device_thread.h"
#include "device/session_view.h"
#include "form.h"
#include "mainwindow.h"
#include "windows/direct_access.h"
#include "../spin_until.h"
#include "support/thread_id.h"

namespace {

// The threads that sent requests to the kit since its last reset.
std::vector<long> request_threads() {
    const std::string stats = kit("stats");
    std::istringstream in(stats.substr(stats.find("threads")));
    std::string word;
    in >> word;
    std::vector<long> ids;
    for (long id; in >> id;)
        ids.push_back(id);
    return ids;
}

class DeviceThreadTest : public testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        device = std::make_unique<evalpanel::DeviceThread>();
        view = std::make_unique<evalpanel::SessionView>(device->session());
        device->start();
        window = std::make_unique<MainWindow>(*view, device->engine(), device->workbench(), 0);
        ASSERT_TRUE(spin_until([&] { return view->snapshot().adapter_open; }));
    }
    void TearDown() override {
        window.reset();
        device.reset();
        view.reset();
    }
    Ui::MainWindow &ui() { return *window->form(); }
    void type_line(const QString &line) {
        window->command_console().relay(line.toLatin1() + '\n');
        ASSERT_TRUE(spin_until([&] { return !window->command_console().busy(); }, 20000)) << line.toStdString();
    }

    InTempDir cwd; // where the scripts, cfg.txt and firmware.bin are
    std::unique_ptr<evalpanel::DeviceThread> device;
    std::unique_ptr<evalpanel::SessionView> view;
    std::unique_ptr<MainWindow> window;
};

TEST_F(DeviceThreadTest, TheGuiThreadNeverReachesTheAdapter) {
    ui().io0022->click(); // VIOSYS: the poll that follows brings the chip up
    ASSERT_TRUE(spin_until([&] { return view->registers_valid(); }));
    ui().pollstatus->click();
    ui().readregisters->click();
    QFile script(QStringLiteral("steps.txt"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("VSET_B0 = 0x40\nfor i=0:1:3\n0x12 = $i\nend\nsave_registers(cfg.txt)\n");
    script.close();
    type_line(QStringLiteral("steps.txt"));
    type_line(QStringLiteral("load_registers(cfg.txt)"));
    window->flush_text();
    EXPECT_TRUE(ui().plainTextEdit->toPlainText().contains(QStringLiteral("loaded ")));
    window->direct_access_window()->address_edit()->setText(QStringLiteral("12"));
    window->dr_read();
    const int chip = chip_register(0, 0x12);
    ASSERT_TRUE(spin_until([&] { return window->direct_access_window()->data() == chip; }));

    // A flash from the menu: progress while it runs, the box after.
    QFile image(QStringLiteral("firmware.bin"));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    const uint32_t header[2] = {0x04050607, 0x00020000};
    image.write(reinterpret_cast<const char *>(header), sizeof header);
    image.write(QByteArray(64 * 256, '\x5a'));
    image.close();
    // Nothing is flashed before the user agrees to what the box names.
    ui().actionUpdate_Firmware->trigger();
    ASSERT_TRUE(spin_until([&] { return window->firmware_confirmation() != nullptr; }));
    QMessageBox *confirm = window->firmware_confirmation();
    EXPECT_EQ(confirm->text(), QStringLiteral("Update the adapter's firmware from 1.2.0 to 2.0.0?"));
    EXPECT_TRUE(confirm->informativeText().contains("16392 bytes"));
    EXPECT_TRUE(confirm->informativeText().contains("cannot be stopped"));
    EXPECT_EQ(confirm->defaultButton(), confirm->button(QMessageBox::Cancel));
    EXPECT_NE(kit("status").find("firmware running"), std::string::npos);
    confirm->buttons().first()->click(); // "Update"
    EXPECT_TRUE(window->updating_firmware());
    EXPECT_EQ(window->connection_label()->text(), "   updating firmware   ");
    QMessageBox *box = nullptr;
    ASSERT_TRUE(spin_until([&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible() && b != confirm)
                box = b;
        return box != nullptr;
    }));
    EXPECT_EQ(box->text(), QStringLiteral("Firmware updated.\nVersion before: 1.2.0\nVersion now: 2.0.0"));
    EXPECT_FALSE(window->updating_firmware());
    auto *progress = window->findChild<QProgressDialog *>();
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->maximum(), 64);
    box->close();
    EXPECT_TRUE(spin_until([] { return kit("status").find("firmware running") != std::string::npos; }));

    const std::vector<long> threads = request_threads();
    ASSERT_FALSE(threads.empty());
    for (long id : threads)
        EXPECT_NE(id, support::current_thread_id()) << "an exchange ran on the GUI thread";
}

// A silent adapter: the window answers at once, says so in the status bar
// and the command log, and is ready again soon after the fault ends.
TEST_F(DeviceThreadTest, ASilentAdapterIsAnOutageNotAFreeze) {
    kit("lose 1000000");
    ui().pollstatus->click();
    ASSERT_TRUE(spin_until([&] {
        return window->statusBar()->currentMessage() == evalpanel::kAdapterSilentText;
    }));
    EXPECT_EQ(window->connection_label()->text().trimmed(), QStringLiteral("not connected"));
    // Every turn of the event loop stays short while attempts time out.
    QElapsedTimer gap, total;
    qint64 longest = 0;
    gap.start();
    total.start();
    while (total.elapsed() < 2500) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        longest = std::max(longest, gap.restart());
    }
    EXPECT_LT(longest, 200);
    window->flush_text();
    const QString log = ui().registerlog->toPlainText();
    EXPECT_EQ(log.count(QString::fromLatin1(evalpanel::kAdapterSilentText)), 1);

    kit("lose 0");
    QElapsedTimer back;
    back.start();
    ASSERT_TRUE(spin_until([&] { return view->connection_state() != evalpanel::kNotConnected; }));
    EXPECT_LT(back.elapsed(), 3200);
}

} // namespace
