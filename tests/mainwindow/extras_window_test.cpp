// The window's menu actions on the virtual kit: the firmware check at
// connection and from the menu, the direct register access window with its
// reads and writes, and the About box.
#include "window_fixture.h"

#include "direct_access.h"
#include "qstring_print.h"

#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

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

// Runs every test in a directory of its own, where firmware.bin is looked up.
class ExtrasWindowTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(dir_.isValid());
        old_dir_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
    }
    void TearDown() override {
        WindowTest::TearDown();
        QDir::setCurrent(old_dir_);
    }

    // firmware.bin: magic, version, two pages.
    static void write_image(uint32_t version) {
        const uint32_t le = qToLittleEndian(version);
        QFile file(QStringLiteral("firmware.bin"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\x07\x06\x05\x04", 4) +
                   QByteArray(reinterpret_cast<const char *>(&le), 4) +
                   QByteArray(512, '\x3c'));
    }

    // The command log's lines that carry a time stamp, without it.
    QStringList stamped_messages() {
        static const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d(?=:| :)");
        QStringList out;
        for (const QString &line : log_lines())
            if (stamp.match(line).hasMatch())
                out << line.mid(8);
        return out;
    }

    bool adapter_runs_firmware() {
        return kit("status").find("firmware running") != std::string::npos;
    }

    direct_access &access() { return *window->direct_access_window(); }
    QPushButton *read_button() { return access().findChild<QPushButton *>("pushButton_2"); }
    QPushButton *write_button() { return access().findChild<QPushButton *>("pushButton"); }

    QTemporaryDir dir_;
    QString old_dir_;
};

TEST_F(ExtrasWindowTest, ConnectingToAnAdapterWithFirmwareOnlyLogs) {
    write_image(0x00010300);
    ModalCloser user;
    open_window();
    EXPECT_EQ(user.seen, QStringList());
    EXPECT_EQ(stamped_messages(),
              QStringList({" : Application started.", " : Bootloader version 1.0.4.",
                           " : Firmware found. No automatic updates done."}));
    EXPECT_TRUE(adapter_runs_firmware());
    EXPECT_NE(state(), evalpanel::kNotConnected);
}

TEST_F(ExtrasWindowTest, ConnectingToAnAdapterWithoutFirmwareFlashesIt) {
    kit("firmware none");
    write_image(0x00010300);
    ModalCloser user;
    open_window();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !user.seen.isEmpty(); }));
    EXPECT_EQ(user.seen, QStringList{"Firmware updated."});
    EXPECT_EQ(stamped_messages(),
              QStringList({" : Application started.", " : Bootloader version 1.0.4.",
                           " : Current firmware version 0.0.0.", " : Updating firmware...",
                           " : OK.", " : Current firmware version 1.3.0."}));
    // The firmware was started, and start-up went on while the box was open.
    EXPECT_TRUE(adapter_runs_firmware());
    ui().io0022->click();
    EXPECT_EQ(state(), evalpanel::kConnected);
}

TEST_F(ExtrasWindowTest, MenuUpdateReflashesTheSameVersionAndRestartsTheFirmware) {
    open_powered();
    write_image(0x00010200);
    ModalCloser user;
    ui().actionUpdate_Firmware->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !user.seen.isEmpty(); }));
    EXPECT_EQ(user.seen, QStringList{"Firmware updated."});
    const QStringList messages = stamped_messages();
    const QStringList tail = messages.mid(messages.size() - 5);
    EXPECT_EQ(tail, QStringList({" : Bootloader version 1.0.4.",
                                 " : Current firmware version 1.2.0.", " : Updating firmware...",
                                 " : OK.", " : Current firmware version 1.2.0."}));
    EXPECT_TRUE(adapter_runs_firmware());
}

TEST_F(ExtrasWindowTest, DirectAccessOpensFromTheMenuOnlyHidesAndReadsAndWritesTheChip) {
    open_powered();
    ASSERT_NE(window->direct_access_window(), nullptr);
    EXPECT_EQ(access().parentWidget(), window.get());
    EXPECT_FALSE(access().isVisible());
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

    access().address_edit()->setText("2e");
    access().data_edit()->setText("05");
    write_button()->click();
    EXPECT_EQ(chip_register(0, 0x2E), 0x05);
    EXPECT_EQ(window->access_label()->text(), "   W2e:05   ");

    // A box click alone writes nothing; a read shows the chip again.
    QTest::mouseClick(access().button_group()->button(1), Qt::LeftButton);
    EXPECT_EQ(access().data_edit()->text(), "07");
    EXPECT_EQ(chip_register(0, 0x2E), 0x05);
    read_button()->click();
    EXPECT_EQ(access().data_edit()->text(), "05");
    EXPECT_EQ(window->access_label()->text(), "   R2e:05   ");
}

TEST_F(ExtrasWindowTest, DirectAccessFailedReadShowsFF) {
    open_powered();
    kit("nack on");
    ui().actionDirect_Register_Access->trigger();
    access().address_edit()->setText("13");
    read_button()->click();
    EXPECT_EQ(access().data_edit()->text(), "ff");
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_TRUE(access().button_group()->button(bit)->isChecked()) << bit;
    EXPECT_EQ(window->access_label()->text(), "   R13:ff   ");
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
