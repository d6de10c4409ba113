// The window's menu actions on the virtual kit: the firmware check at
// connection, the direct register access window, and the About box. The
// check's decisions: FirmwareCheck; the flash from the menu: DeviceThreadTest.
#include "window_fixture.h"

#include "../console/temp_files.h"
#include "direct_access.h"
#include "qstring_print.h"

#include <QButtonGroup>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>

namespace {

// Plays the user in front of boxes: every modal window and every message box
// that opens is noted (message text, or title for other dialogs) and closed.
// A message box has no parent and one button.
class ModalCloser {
  public:
    ModalCloser() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            for (QWidget *w : QApplication::topLevelWidgets())
                if (qobject_cast<QMessageBox *>(w) && w->isVisible())
                    modal = w;
            if (!modal)
                return;
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                seen << box->text();
                EXPECT_EQ(box->parentWidget(), nullptr);
                EXPECT_EQ(box->buttons().size(), 1);
            } else
                seen << modal->windowTitle();
            modal->close();
        });
        timer_.start(5);
    }
    QStringList seen;

  private:
    QTimer timer_;
};

class ExtrasWindowTest : public WindowTest {
  protected:
    direct_access &access() { return *window->direct_access_window(); }
    QPushButton *read_button() { return access().findChild<QPushButton *>("pushButton_2"); }
    QPushButton *write_button() { return access().findChild<QPushButton *>("pushButton"); }

    InTempDir cwd; // where firmware.bin is looked up
};

TEST_F(ExtrasWindowTest, ConnectingToAnAdapterWithoutFirmwareFlashesIt) {
    kit("firmware none");
    QFile image(QStringLiteral("firmware.bin")); // version 1.3.0, two pages
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(QByteArray("\x07\x06\x05\x04\x00\x03\x01\x00", 8) + QByteArray(512, '\x3c'));
    image.close();
    ModalCloser user;
    open_window();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !user.seen.isEmpty(); }));
    EXPECT_EQ(user.seen, QStringList{"Firmware updated.\nVersion before: 0.0.0\nVersion now: 1.3.0"});
    // The check's lines (proven on the check) reach the command log.
    EXPECT_EQ(log_lines().filter(" : Current firmware version 1.3.0.").size(), 1);
    // The firmware was started, and start-up went on while the box was open.
    EXPECT_NE(kit("status").find("firmware running"), std::string::npos);
    ui().io0022->click();
    EXPECT_EQ(state(), evalpanel::kConnected);
}

TEST_F(ExtrasWindowTest, DirectAccessOpensFromTheMenuOnlyHidesAndReadsAndWritesTheChip) {
    open_powered();
    ui().actionDirect_Register_Access->trigger();
    EXPECT_TRUE(access().isVisible());
    access().address_edit()->setText("07");
    access().set_data(0x42);
    access().close();
    EXPECT_FALSE(access().isVisible());
    ui().actionDirect_Register_Access->trigger();
    EXPECT_TRUE(access().isVisible());
    EXPECT_EQ(access().address(), 0x07);
    EXPECT_EQ(access().data(), 0x42);

    access().address_edit()->setText("18");
    read_button()->click();
    const int chip_id = chip_register(0, 0x18);
    EXPECT_EQ(access().data(), chip_id);
    EXPECT_EQ(window->access_label()->text(),
              QString("   R18:%1   ").arg(chip_id, 2, 16, QLatin1Char('0')));

    // Another register: blank and not writable until it is read; Return in
    // the address reads, it never writes.
    access().address_edit()->setText("2e");
    EXPECT_TRUE(access().data_edit()->text().isEmpty());
    EXPECT_FALSE(access().write_button()->isEnabled());
    EXPECT_EQ(access().register_label()->text(), "R_INT_MASK_2, read/write");
    const int before = chip_register(0, 0x2E);
    write_button()->click();
    EXPECT_EQ(chip_register(0, 0x2E), before);
    QTest::keyClick(access().address_edit(), Qt::Key_Return);
    EXPECT_TRUE(access().last_access_label()->text().endsWith(
        QString("read 0x%1 from 0x2e").arg(before, 2, 16, QLatin1Char('0'))))
        << access().last_access_label()->text().toStdString();
    EXPECT_EQ(chip_register(0, 0x2E), before);
    access().data_edit()->setText("05");
    write_button()->click();
    EXPECT_EQ(chip_register(0, 0x2E), 0x05);
    EXPECT_EQ(window->access_label()->text(), "   W2e:05   ");
    EXPECT_TRUE(access().last_access_label()->text().endsWith("wrote 0x05 to 0x2e"));

    // A box click alone writes nothing; a read shows the chip again.
    QTest::mouseClick(access().button_group()->button(1), Qt::LeftButton);
    EXPECT_EQ(access().data_edit()->text(), "07");
    EXPECT_EQ(chip_register(0, 0x2E), 0x05);
    read_button()->click();
    EXPECT_EQ(access().data_edit()->text(), "05");
    EXPECT_EQ(window->access_label()->text(), "   R2e:05   ");

    // A failed read shows 0xFF.
    kit("nack on");
    access().address_edit()->setText("13");
    read_button()->click();
    EXPECT_EQ(access().data_edit()->text(), "ff");
    EXPECT_TRUE(access().button_group()->button(7)->isChecked());
    EXPECT_EQ(window->access_label()->text(), "   R13:ff   ");
    EXPECT_TRUE(access().last_access_label()->text().endsWith("reading 0x13 failed: no answer (ff shown)"));
    EXPECT_EQ(last_log_line(), "NACK");
    EXPECT_EQ(state(), evalpanel::kNotAcknowledged);
}

TEST_F(ExtrasWindowTest, AboutFromTheMenuIsModalEachTime) {
    open_window();
    ModalCloser user;
    ui().actionAbout->trigger();
    ui().actionAbout->trigger();
    EXPECT_EQ(user.seen, QStringList(2, "About RX5120 Evaluation kit"));
    for (QDialog *d : window->findChildren<QDialog *>())
        EXPECT_NE(d->windowTitle(), user.seen.value(0)) << "each opening deletes its box";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
