// Construction of the main window, opening the adapter, and the window's side
// of the device layer's and the console's host interfaces.
#include "mainwindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTime>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "binding.h"
#include "console/console.h"
#include "console_widget_document.h"
#include "direct_access.h"
#include "form.h"
#include "window_trace.h"

using namespace evalpanel;

namespace {

const QString kStatusLabelConnection = QStringLiteral("   not connected   ");
const QString kStatusLabelTime = QStringLiteral("   00:00   ");
const QString kStatusLabelVersion = QStringLiteral("   Chip ver. ---- ----   ");

template <typename T> QList<T *> find_by_pattern(QObject *root, const char *pattern) {
    return root->findChildren<T *>(QRegularExpression(QString::fromLatin1(pattern)));
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui_(new Ui::MainWindow) {
    // 1. The form; its slots are connected here, not by name.
    ui_->setupUi(this);
    connect_form_slots();
    device().host = this;

    // 2. The console appears only through "View" -> "Console".
    ui_->plainTextEdit->hide();

    // 3 to 6. The controls the window works with.
    find_controls();

    // 7 to 9. Shared handlers of the bound controls.
    wire_controls();

    // 10. Status bar.
    create_status_labels();

    // 11. Generated item lists.
    for (const QString &item : output_voltage_items())
        ui_->co0060->addItem(QIcon(), item, QVariant(0));
    for (const QString &item : delay_items())
        ui_->co1270->addItem(QIcon(), item, QVariant(0));

    // 12. Timers; neither runs yet.
    reconnect_timer_ = new QTimer(this);
    poll_timer_ = new QTimer(this);
    connect(reconnect_timer_, &QTimer::timeout, this, &MainWindow::init_hardware);
    connect(poll_timer_, &QTimer::timeout, this, &MainWindow::timer_func);

    // 13. Start-up line.
    if (registerlog_ != nullptr)
        append_command_log(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) +
                           QStringLiteral(" : Application started."));

    // 14. The adapter, then every control.
    init_hardware();
    update_display();

    // 15. The direct register access window, hidden until the menu shows it.
    direct_access_ = new direct_access(this);
    connect(direct_access_, &direct_access::write_requested, this, &MainWindow::dr_write);
    connect(direct_access_, &direct_access::read_requested, this, &MainWindow::dr_read);

    // 16 and 17. Console keys; the command log keeps its last 1000 lines.
    ui_->plainTextEdit->installEventFilter(this);
    if (registerlog_ != nullptr)
        registerlog_->document()->setMaximumBlockCount(1000);

    // 18. The console opens with the command list and a prompt.
    console_document_ = std::make_unique<ConsoleWidgetDocument>(ui_->plainTextEdit);
    console_ = std::make_unique<console::Console>(*this, *console_document_);
    console_->start();
    ui_->plainTextEdit->document()->setMaximumBlockCount(1000);

    // 19. Scripts and commands may use rand().
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    // 20. Network console.
    start_console_relay();

    // 21. Controls this kit has no use for; the chip address is chosen from
    // the console, and comboBox_8 only follows it.
    ui_->actionOTP->setVisible(false);
    ui_->label_65->hide();
    ui_->comboBox_8->hide();
}

MainWindow::~MainWindow() {
    if (device().host == this)
        device().host = nullptr;
    // The relay goes first: closing its client must not call back into a
    // window that is half gone.
    if (client_ != nullptr)
        client_->disconnect(this);
    delete server_;
    server_ = nullptr;
    // The console refers to the widget document; both go before the form.
    console_.reset();
    console_document_.reset();
    delete ui_;
}

void MainWindow::connect_form_slots() {
    Ui::MainWindow *f = ui_;
    connect(f->actionConsole, &QAction::toggled, this, &MainWindow::on_actionConsole_toggled);
    // The action slots keep their names; QAction's signal is triggered().
    connect(f->actionAbout, &QAction::triggered, this, &MainWindow::on_actionAbout_activated);
    connect(f->actionDirect_Register_Access, &QAction::triggered, this,
            &MainWindow::on_actionDirect_Register_Access_activated);
    connect(f->actionUpdate_Firmware, &QAction::triggered, this,
            &MainWindow::on_actionUpdate_Firmware_activated);
    connect(f->autowrite, &QAbstractButton::clicked, this, &MainWindow::on_autowrite_clicked);
    connect(f->pollstatus, &QAbstractButton::clicked, this, &MainWindow::on_pollstatus_clicked);
    connect(f->readregisters, &QAbstractButton::clicked, this,
            &MainWindow::on_readregisters_clicked);
    connect(f->writeregisters, &QAbstractButton::clicked, this,
            &MainWindow::on_writeregisters_clicked);
    connect(f->comboBox_3, &QComboBox::activated, this, &MainWindow::on_comboBox_3_activated);
    connect(f->comboBox_8, &QComboBox::activated, this, &MainWindow::on_comboBox_8_activated);
    connect(f->proto, &QComboBox::activated, this, &MainWindow::on_proto_activated);
    connect(f->script1, &QAbstractButton::clicked, this, &MainWindow::on_script1_clicked);
    connect(f->script2, &QAbstractButton::clicked, this, &MainWindow::on_script2_clicked);
    connect(f->script3, &QAbstractButton::clicked, this, &MainWindow::on_script3_clicked);
    connect(f->script4, &QAbstractButton::clicked, this, &MainWindow::on_script4_clicked);
}

void MainWindow::find_controls() {
    bound_buttons_ = find_by_pattern<QAbstractButton>(this, kBoundButtonPattern);
    bound_combos_ = find_by_pattern<QComboBox>(this, kBoundComboPattern);
    bound_edits_ = find_by_pattern<QLineEdit>(this, kBoundEditPattern);

    autowrite_box_ = findChild<QCheckBox *>(QStringLiteral("autowrite"));
    pollstatus_box_ = findChild<QCheckBox *>(QStringLiteral("pollstatus"));
    registerlog_ = findChild<QTextBrowser *>(QStringLiteral("registerlog"));

    mode_fields_ = {ui_->mode0, ui_->mode1, ui_->mode2, ui_->mode3, ui_->mode4, ui_->mode5};
    current_fields_ = {ui_->current0, ui_->current1, ui_->current2, ui_->current3,
                       ui_->current4, ui_->current5, ui_->current6};

    multiphase_fields_ = find_by_pattern<QLineEdit>(this, kMultiphasePattern);
    measurement_fields_ = find_by_pattern<QLineEdit>(this, kMeasurementPattern);
}

void MainWindow::wire_controls() {
    button_group_ = new QButtonGroup(this);
    connect(button_group_, &QButtonGroup::idClicked, this,
            &MainWindow::on_buttonGroup_buttonClicked);
    button_group_->setExclusive(false);

    for (int i = 0; i < bound_combos_.size(); ++i) {
        QComboBox *combo = bound_combos_[i];
        const QString name = combo->objectName();
        qCDebug(lcWindow, "%s", qPrintable(name));
        // Names that merely contain the pattern ("com...") are not selectors.
        if (!name.startsWith(QLatin1String("com"))) {
            connect(combo, &QComboBox::activated, this, &MainWindow::on_combobox_activated);
            qCDebug(lcWindow, "found ComboBox %d", i);
        }
    }
    for (int i = 0; i < bound_buttons_.size(); ++i) {
        button_group_->addButton(bound_buttons_[i], i);
        qCDebug(lcWindow, "button %d : %s", i, qPrintable(bound_buttons_[i]->objectName()));
    }
}

void MainWindow::create_status_labels() {
    connection_label_ = new QLabel(kStatusLabelConnection, this);
    access_label_ = new QLabel(kStatusLabelTime, this);
    version_label_ = new QLabel(kStatusLabelVersion, this);
    // The connection label shows the state by its background.
    connection_label_->setAutoFillBackground(true);
    statusBar()->addPermanentWidget(version_label_);
    statusBar()->addPermanentWidget(access_label_);
    statusBar()->addPermanentWidget(connection_label_);
}

void MainWindow::configure_adapter_pins() {
    const BridgeHandle h = device().handle;
    // Port A: A3 and A15 outputs driven high; A18 the chip's interrupt line
    // (input); A22 VIOSYS, A23 NRST, A24 NSLP outputs; A25 address select.
    pin_config(h, 0, 3, 0, 0, 1, 0);
    pin_set(h, 0, 3, 1);
    pin_config(h, 0, 15, 0, 0, 1, 0);
    pin_set(h, 0, 15, 1);
    pin_config(h, 0, 18, 0, 0, 0, 1);
    pin_config(h, 0, 22, 0, 0, 1, 0);
    pin_config(h, 0, 23, 0, 0, 1, 0);
    pin_config(h, 0, 24, 0, 0, 1, 0);
    pin_config(h, 0, 25, 0, 0, 0, 0);
}

void MainWindow::init_hardware() {
    DeviceState &s = device();
    if (s.connection_state > kNotConnected) {
        // Already open: this is the reconnect timer's first expiry after a
        // successful open, or a plain refresh.
        reconnect_timer_->stop();
        write_statusbar(0, 0, true);
        read_registers(0, 256, s.register_cache.data());
        timer_func();
        update_display();
        return;
    }

    qCDebug(lcWindow, "init_hardware()");
    write_statusbar(0, 0, true);
    // A handle left from before the adapter was lost is closed before the
    // next one is opened, so that reconnecting leaks nothing.
    if (s.handle != BRIDGEIO_INVALID_HANDLE)
        usb_hid_close(s.handle);
    s.handle = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    if (s.handle == BRIDGEIO_INVALID_HANDLE) {
        qCDebug(lcWindow, "usb_hid_init() failed.");
        s.connection_state = kNotConnected;
        reconnect_timer_->start(kReconnectIntervalMs);
        return;
    }

    return_to_bootloader(s.handle);
    char bootloader_version[16] = {};
    get_bootloader_version(s.handle, bootloader_version);
    check_firmware_update(true);
    start_firmware(s.handle);

    load_script(s.handle, s.status_script.data(), 0, kStatusScriptSize);
    configure_adapter_pins();

    select_i2c_bus(0);
    probe_board_sensor();
    switch_page(0);
    set_access_mode(1);

    init_adc(s.handle, 0);
    init_adc(s.handle, 1);

    read_registers(0, 256, s.register_cache.data());
    timer_func();
    write_statusbar(0, 0, true);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    qCDebug(lcWindow, "closeEvent()");
    event->accept();
    // Nothing is saved and the adapter is left as it is: the program ends
    // here, whatever timers are running.
    std::_Exit(0);
}

void MainWindow::on_actionConsole_toggled(bool on) {
    qCDebug(lcWindow, "on_actionConsole_toggled() : %s", on ? "ON" : "OFF");
    if (on) {
        ui_->plainTextEdit->show();
        ui_->plainTextEdit->setFocus();
    } else {
        ui_->plainTextEdit->hide();
    }
}

void MainWindow::on_clear_ints_clicked() {
    // The flags clear where a 0 is written; TEMP (bits 1..0 of R_FLAGS_0) is
    // read-only and unaffected.
    qCDebug(lcWindow, "on_clear_ints_clicked()");
    DeviceState &s = device();
    switch_page(0);
    for (uint8_t reg : {uint8_t{0x0D}, uint8_t{0x0E}}) {
        const int value = register_read(reg);
        s.register_cache[reg] = static_cast<uint8_t>(value < 0 ? 0xFF : value);
        s.register_cache[reg] &= reg == 0x0D ? 0x03 : 0x00;
        register_write(reg, s.register_cache[reg]);
        write_statusbar(reg, s.register_cache[reg], true);
    }
    update_display();
}

// ---- Host interfaces ------------------------------------------------------

bool MainWindow::has_command_log() const {
    return registerlog_ != nullptr;
}

void MainWindow::append_command_log(const QString &line) {
    if (registerlog_ == nullptr)
        return;
    // As plain text: a register name or message is never taken for markup.
    QScrollBar *bar = registerlog_->verticalScrollBar();
    const bool at_bottom = bar->value() == bar->maximum();
    QTextCursor cursor(registerlog_->document());
    cursor.movePosition(QTextCursor::End);
    if (!registerlog_->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    if (at_bottom)
        bar->setValue(bar->maximum());
}

void MainWindow::stop_poll_timer() {
    poll_timer_->stop();
}

void MainWindow::start_reconnect_timer(int interval_ms) {
    // Every transfer that fails on a lost adapter asks for a reconnection.
    // An attempt already due keeps its time: starting the countdown afresh
    // each time would let a busy console or script put the reconnection off
    // for as long as it keeps failing.
    if (reconnect_timer_->isActive())
        return;
    reconnect_timer_->start(interval_ms);
}

void MainWindow::set_address_selector_index(int index) {
    // setCurrentIndex never emits activated: the selector only follows.
    ui_->comboBox_8->setCurrentIndex(index >= 0 && index < ui_->comboBox_8->count() ? index : -1);
}

int MainWindow::address_selector_index() const {
    return ui_->comboBox_8->currentIndex();
}

void MainWindow::run_status_poll() {
    timer_func();
}

void MainWindow::refresh_display() {
    write_statusbar(0, 0, false);
    update_display();
}

void MainWindow::set_bus_selector_index(int index) {
    ui_->comboBox_3->setCurrentIndex(index);
}

void MainWindow::process_events() {
    QCoreApplication::processEvents();
}

QString MainWindow::board_temp_text() const {
    return ui_->board_temp->text();
}

QString MainWindow::clipboard_text() const {
    return QGuiApplication::clipboard()->text();
}

void MainWindow::sleep_ms(int ms) {
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

int64_t MainWindow::tick_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
