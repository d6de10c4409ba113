// The main window: the form, the status bar, the menus and the console
// widget, wired to the device session, the bound controls and the console.
// It holds no device logic and never waits for the adapter: it renders from
// the SessionView's snapshot, and a click becomes a job posted to the device
// thread; what the job changes comes back as the view's signals.
//
// Everything here runs on the GUI thread. One main window exists per
// program.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <memory>

#include "console/relay.h"
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
class ConsoleEngine;
class Relay;
} // namespace console
namespace evalpanel {
class SessionView;
class Workbench;
struct FirmwarePlan;
} // namespace evalpanel
class BoundControls;
class ConsoleWidgetDocument;
class direct_access;

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // The window shows and drives the session behind `view`, runs console
    // lines on `engine` and shows what `workbench` records; all three
    // outlive it. The relay listens on `console_port` (0: no relay).
    MainWindow(evalpanel::SessionView &view, console::ConsoleEngine &engine,
               evalpanel::Workbench &workbench, quint16 console_port = console::Relay::kDefaultPort,
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

    // Appends one line to the command log (shown within a frame; see
    // flush_text()).
    void append_command_log(const QString &line);
    // Brings the console and the command log up to date now: both gather
    // what is added and show it once per frame.
    void flush_text();
    // The status bar, then every bound control (at most every kRefreshMs
    // however often it is asked for).
    void refresh_display();

    // For tests and tools: the pieces a user sees.
    Ui::MainWindow *form() const { return ui_; }
    evalpanel::SessionView &view() const { return view_; }
    evalpanel::Workbench &workbench() const { return workbench_; }
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
    const WorkbenchWindows &workbench_windows() const { return workbench_windows_; }

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
    // The firmware check's box, shown once the check has ended, and the
    // progress of a flash (pages written of pages).
    void show_firmware_box(const QString &text);
    void show_flash_progress(int written, int pages);
    // The consent asked before an update from the menu flashes: current
    // and new version, size, and that it cannot be stopped. Not modal to
    // the program; the flash starts when "Update" is chosen.
    void confirm_firmware_update(const evalpanel::FirmwarePlan &plan);
    class QMessageBox *firmware_confirmation() const;
    // An update runs: the status bar says so instead of the connection.
    bool updating_firmware() const { return updating_firmware_; }

  signals:
    // Every line the command log shows (the session log keeps them).
    void command_logged(const QString &line);
    // The process ends right after this: what must reach a file, does now.
    void ending();

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
    // Checks the adapter's firmware on the device thread (see
    // device/firmware_check.h), reporting here.
    void install_firmware_check();

    evalpanel::SessionView &view_;
    console::ConsoleEngine &engine_;
    evalpanel::Workbench &workbench_;
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
    static constexpr int kLogLines = 1000;
    QStringList pending_log_;
    std::unique_ptr<class FramePacer> log_pacer_;
    void show_pending_log();
    std::unique_ptr<console::Console> console_;
    console::Relay *relay_ = nullptr;

    direct_access *direct_access_ = nullptr;
    WorkbenchWindows workbench_windows_;
    class QProgressDialog *flash_progress_ = nullptr;
    // The firmware check's one box: a later outcome replaces its text
    // rather than stacking a second modal box over it.
    QPointer<class QMessageBox> firmware_box_;
    QPointer<class QMessageBox> firmware_confirm_;
    bool updating_firmware_ = false;
    qint64 flash_started_ms_ = 0;
    void start_firmware_update();
    static constexpr qint64 kRefreshMs = 40;
    bool refresh_due_ = false;
    QElapsedTimer last_refresh_;
};
