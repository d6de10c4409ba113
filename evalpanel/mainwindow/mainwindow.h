// The main window: the form, the status bar, the menus and the console
// widget, wired to the device session, the bound controls and the console.
// It holds no device logic: a click calls the session, a session signal
// refreshes the controls.
//
// Everything runs on the GUI thread. One main window exists per program.
#pragma once

#include <QMainWindow>
#include <QString>

#include <memory>

#include "console/console_host.h"
#include "workbench_menus.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTcpServer;
class QTextBrowser;
class QTimer;

namespace Ui {
class MainWindow;
}
namespace console {
class Console;
class Relay;
} // namespace console
namespace evalpanel {
class DeviceSession;
}
class BoundControls;
class ConsoleWidgetDocument;
class direct_access;

class MainWindow : public QMainWindow, public console::ConsoleHost {
    Q_OBJECT

  public:
    // The window works on `session`, which outlives it. The relay listens on
    // `console_port` (0: no relay).
    explicit MainWindow(evalpanel::DeviceSession &session, quint16 console_port = 23456,
                        QWidget *parent = nullptr);
    ~MainWindow() override;

    // The console's key handling over plainTextEdit.
    bool eventFilter(QObject *watched, QEvent *event) override;

    // Refreshes every bound control and status field from the session.
    void update_display();
    // Connection label, status message, access label and chip version.
    void write_statusbar(int address, int data, bool write);

    // Types the clipboard's text into the console.
    void paste_clipboard();

    // ---- ConsoleHost ----------------------------------------------------
    void console_print(const QString &text) override;
    void append_command_log(const QString &line) override;
    void refresh_display() override;
    void process_events() override;
    QString clipboard_text() const override;
    void sleep_ms(int ms) override;
    int64_t tick_ms() override;

    // For tests and tools: the pieces a user sees.
    Ui::MainWindow *form() const { return ui_; }
    evalpanel::DeviceSession &session() const { return session_; }
    BoundControls &controls() const { return *controls_; }
    QLabel *connection_label() const { return connection_label_; }
    QLabel *access_label() const { return access_label_; }
    QLabel *version_label() const { return version_label_; }
    QButtonGroup *button_group() const;
    QTcpServer *relay_server() const;
    bool auto_write() const { return auto_write_; }
    console::Console &command_console() { return *console_; }
    console::Relay &relay() { return *relay_; }
    direct_access *direct_access_window() const { return direct_access_; }
    const WorkbenchWindows &workbench_windows() const { return workbench_; }

    // The slots in the window's fixed order.
  public slots:
    void on_buttonGroup_buttonClicked(int id);
    void on_combobox_activated(int index);
    void on_comboBox_3_activated(int index);
    void on_comboBox_8_activated(int index);
    void on_proto_activated(int index);
    void on_actionAbout_activated();
    void on_actionConsole_toggled(bool on);
    void init_hardware();
    void on_autowrite_clicked();
    void timer_func();
    void on_pollstatus_clicked();
    void on_readregisters_clicked();
    void on_writeregisters_clicked();
    void on_actionDirect_Register_Access_activated();
    void dr_write();
    void dr_read();
    void on_clear_ints_clicked();
    void new_connection();
    void connection_closed();
    void data_available();
    void on_actionUpdate_Firmware_activated();
    void on_script1_clicked();
    void on_script2_clicked();
    void on_script3_clicked();
    void on_script4_clicked();

  public:
    // Checks the adapter's firmware against "firmware.bin" and flashes it
    // when due: automatically at connection (only an adapter without
    // firmware), or from the menu (an image at least as new). Leaves the
    // adapter in its bootloader.
    void check_firmware_update(bool automatic);

  protected:
    // Closing the window ends the process at once, with status 0.
    void closeEvent(QCloseEvent *event) override;

  private:
    void connect_form_slots();
    void connect_session();
    void create_status_labels();
    void fit_status_fields();
    void show_connection();
    void show_poll();
    void show_chip_temperature();
    void run_script_button(const char *file);

    evalpanel::DeviceSession &session_;
    Ui::MainWindow *ui_;
    BoundControls *controls_ = nullptr;

    QCheckBox *autowrite_box_ = nullptr;
    QCheckBox *pollstatus_box_ = nullptr;
    QTextBrowser *registerlog_ = nullptr;
    QList<QLineEdit *> mode_fields_;
    QList<QLineEdit *> current_fields_;
    QList<QLineEdit *> multiphase_fields_;

    QLabel *connection_label_ = nullptr;
    QLabel *access_label_ = nullptr;
    QLabel *version_label_ = nullptr;

    // Program-wide switch mirrored by "Auto Write".
    bool auto_write_ = true;

    std::unique_ptr<ConsoleWidgetDocument> console_document_;
    std::unique_ptr<console::Console> console_;
    console::Relay *relay_ = nullptr;

    direct_access *direct_access_ = nullptr;
    WorkbenchWindows workbench_;
};
