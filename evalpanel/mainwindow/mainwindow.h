// The main window: the form, the controls bound to chip registers and adapter
// pins by their object names, status polling and the status bar, the command
// console and its network relay. It is the window the device layer and the
// console report to (DeviceHost, ConsoleHost).
//
// Everything runs on the GUI thread. One main window exists per program.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <array>
#include <memory>

#include "console/console_host.h"
#include "registers/device_access.h"
#include "status_decode.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QTcpServer;
class QTcpSocket;
class QTextBrowser;
class QTimer;

namespace Ui {
class MainWindow;
}
namespace console {
class Console;
}
class ConsoleWidgetDocument;
class direct_access;

class MainWindow : public QMainWindow, public evalpanel::DeviceHost, public console::ConsoleHost {
    Q_OBJECT

  public:
    // The TCP port of the console relay, on 127.0.0.1 only.
    static constexpr quint16 kConsolePort = 23456;
    static constexpr int kPollIntervalMs = 150;
    // A read from the relay's client takes at most this many bytes at once.
    static constexpr qint64 kRelayChunk = 512;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The console's key handling over plainTextEdit; also called directly,
    // with no watched object, for synthetic key presses.
    bool eventFilter(QObject *watched, QEvent *event) override;

    // Refreshes every bound control from RegisterCache and the last poll.
    void update_display();
    // Connection label, status message, access label and chip version.
    void write_statusbar(int address, int data, bool write);

    // Feeds bytes to the console as key presses, the way the relay does: 10
    // and 13 are Return, everything else a key of that (signed) code.
    void relay_text(const QByteArray &bytes);
    // Sends bytes to the relay's client, when one is connected.
    void send_to_client(const QByteArray &bytes);
    // Types the clipboard's text into the console.
    void paste_clipboard();

    // ---- DeviceHost and ConsoleHost -------------------------------------
    bool has_command_log() const override;
    void append_command_log(const QString &line) override;
    void stop_poll_timer() override;
    void start_reconnect_timer(int interval_ms) override;
    void set_address_selector_index(int index) override;
    int address_selector_index() const override;
    void run_status_poll() override;

    void console_print(const QString &text) override;
    void refresh_display() override;
    double adc_read(int unit, int channel, double factor_a, int shift, double factor_b) override;
    void set_bus_selector_index(int index) override;
    void process_events() override;
    QString board_temp_text() const override;
    QString clipboard_text() const override;
    void sleep_ms(int ms) override;
    int64_t tick_ms() override;

    // For tests and tools: the pieces a user sees.
    Ui::MainWindow *form() const { return ui_; }
    QTimer *poll_timer() const { return poll_timer_; }
    QTimer *reconnect_timer() const { return reconnect_timer_; }
    QLabel *connection_label() const { return connection_label_; }
    QLabel *access_label() const { return access_label_; }
    QLabel *version_label() const { return version_label_; }
    const QList<QAbstractButton *> &bound_buttons() const { return bound_buttons_; }
    const QList<QComboBox *> &bound_combos() const { return bound_combos_; }
    const QList<QLineEdit *> &bound_edits() const { return bound_edits_; }
    const QList<QLineEdit *> &multiphase_fields() const { return multiphase_fields_; }
    QButtonGroup *button_group() const { return button_group_; }
    QTcpServer *relay_server() const { return server_; }
    bool auto_write() const { return auto_write_; }
    console::Console &command_console() { return *console_; }

    // The slots in the window's fixed order. The About box, the direct
    // register access window and the adapter firmware update add their
    // slots at the places marked below.
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
    void timer_func() override;
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
    // The direct register access window, created hidden with the window.
    direct_access *direct_access_window() const { return direct_access_; }

  protected:
    // Closing the window ends the process at once, with status 0.
    void closeEvent(QCloseEvent *event) override;

  private:
    void find_controls();
    void wire_controls();
    void create_status_labels();
    void connect_form_slots();
    void start_console_relay();
    void configure_adapter_pins();

    // Parts of a status poll.
    void run_poll_script();
    void show_modes();
    void show_load_current();
    void show_multiphase();
    void show_chip_temperature();
    void show_board_temperature();

    static void set_field_text(QLineEdit *field, const QString &text);
    void refresh_buttons();
    void refresh_selectors();
    void refresh_edits();
    void set_indicator(QLineEdit *edit, int value);
    void register_bit_clicked(QAbstractButton *button, int reg, int bit);
    void pin_button_clicked(QAbstractButton *button, int group, int pin, bool inverted);
    void run_script_button(const char *file);

    Ui::MainWindow *ui_;

    QList<QAbstractButton *> bound_buttons_;
    QList<QComboBox *> bound_combos_;
    QList<QLineEdit *> bound_edits_;
    std::array<QLineEdit *, kBuckCount> mode_fields_{};
    std::array<QLineEdit *, 7> current_fields_{};
    QList<QLineEdit *> multiphase_fields_;
    QList<QLineEdit *> measurement_fields_;
    QButtonGroup *button_group_ = nullptr;
    QCheckBox *autowrite_box_ = nullptr;
    QCheckBox *pollstatus_box_ = nullptr;
    QTextBrowser *registerlog_ = nullptr;

    QLabel *connection_label_ = nullptr;
    QLabel *access_label_ = nullptr;
    QLabel *version_label_ = nullptr;

    QTimer *reconnect_timer_ = nullptr;
    QTimer *poll_timer_ = nullptr;

    // Program-wide switch mirrored by "Auto Write".
    bool auto_write_ = true;
    // Per buck, the mode state of the last good poll (multiphase decode).
    std::array<int, kBuckCount> mode_states_{};
    // Die temperature level of the last good poll.
    int chip_temperature_level_ = 0;

    std::unique_ptr<ConsoleWidgetDocument> console_document_;
    std::unique_ptr<console::Console> console_;

    QTcpServer *server_ = nullptr;
    QPointer<QTcpSocket> client_;

    direct_access *direct_access_ = nullptr;
};
