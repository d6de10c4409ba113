// Construction of the main window and its wiring to the session, the bound
// controls and the console; the console's host interface.
#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "bound_controls.h"
#include "console/console.h"
#include "console/relay.h"
#include "console_widget_document.h"
#include "frame_pacer.h"
#include "device/operations.h"
#include "device/session_view.h"
#include "device/workbench.h"
#include "windows/direct_access.h"
#include "form.h"
#include "status_bar_text.h"
#include "window_trace.h"

using namespace evalpanel;

MainWindow::MainWindow(SessionView &view, console::ConsoleEngine &engine, Workbench &workbench,
                       quint16 console_port, QWidget *parent)
    : QMainWindow(parent), view_(view), engine_(engine), workbench_(workbench),
      ui_(new Ui::MainWindow) {
    // The form; its slots are connected here, not by name.
    ui_->setupUi(this);
    connect_form_slots();

    // The console appears only through "View" -> "Console".
    ui_->plainTextEdit->hide();

    // The controls the window works with.
    controls_ = new BoundControls(this, view_);
    connect(controls_->group(), &QButtonGroup::idClicked, this,
            &MainWindow::on_buttonGroup_buttonClicked);
    for (int i = 0; i < controls_->combos().size(); ++i) {
        QComboBox *combo = controls_->combos()[i];
        const QString name = combo->objectName();
        qCDebug(lcWindow, "%s", qPrintable(name));
        // Names that merely contain the pattern ("com...") are not selectors.
        if (!name.startsWith(QLatin1String("com"))) {
            connect(combo, &QComboBox::activated, this, &MainWindow::on_combobox_activated);
            qCDebug(lcWindow, "found ComboBox %d", i);
        }
    }
    autowrite_box_ = findChild<QCheckBox *>(QStringLiteral("autowrite"));
    pollstatus_box_ = findChild<QCheckBox *>(QStringLiteral("pollstatus"));
    registerlog_ = findChild<QTextBrowser *>(QStringLiteral("registerlog"));
    mode_fields_ = {ui_->mode0, ui_->mode1, ui_->mode2, ui_->mode3, ui_->mode4, ui_->mode5};
    current_fields_ = {ui_->current0, ui_->current1, ui_->current2, ui_->current3,
                       ui_->current4, ui_->current5, ui_->current6};
    multiphase_fields_ =
        findChildren<QLineEdit *>(QRegularExpression(QStringLiteral("multiphase*")));

    create_status_labels();
    fit_status_fields();

    // Generated item lists.
    for (const QString &item : output_voltage_items())
        ui_->co0060->addItem(QIcon(), item, QVariant(0));
    for (const QString &item : delay_items())
        ui_->co1270->addItem(QIcon(), item, QVariant(0));

    log_pacer_ = std::make_unique<FramePacer>([this] { show_pending_log(); });
    if (registerlog_ != nullptr) {
        // Lines not shown yet go with the ones the Clear button clears.
        connect(ui_->pushButton, &QAbstractButton::clicked, this, [this] { pending_log_.clear(); });
        append_command_log(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) +
                           QStringLiteral(" : Application started."));
        registerlog_->document()->setMaximumBlockCount(kLogLines);
    }

    // The adapter, then every control.
    connect_session();
    init_hardware();
    update_display();

    // The direct register access window, hidden until the menu shows it.
    direct_access_ = new direct_access(this);
    connect(direct_access_, &direct_access::write_requested, this, &MainWindow::dr_write);
    connect(direct_access_, &direct_access::read_requested, this, &MainWindow::dr_read);

    // The console opens with the command list and a prompt.
    ui_->plainTextEdit->installEventFilter(this);
    console_document_ = std::make_unique<ConsoleWidgetDocument>(ui_->plainTextEdit);
    console_ = std::make_unique<console::Console>(engine_, *console_document_);
    console_->set_clipboard([] { return QGuiApplication::clipboard()->text(); });
    connect(console_.get(), &console::Console::log_line, this, &MainWindow::append_command_log);
    connect(console_.get(), &console::Console::refresh_requested, this,
            &MainWindow::refresh_display);
    console_->start();
    ui_->plainTextEdit->document()->setMaximumBlockCount(1000);

    // Scripts and commands may use rand().
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    relay_ = new console::Relay(*console_, this);
    connect(relay_, &console::Relay::client_message, this, &MainWindow::append_command_log);
    if (console_port != 0)
        relay_->listen(console_port);

    // Controls this kit has no use for; the chip address is chosen from
    // the console, and comboBox_8 only follows it.
    ui_->actionOTP->setVisible(false);
    workbench_windows_ = install_workbench(*this);
    ui_->label_65->hide();
    ui_->comboBox_8->hide();

    // Below the size the layouts need, fields would be squashed and
    // buttons would overlap: the window does not get smaller than that.
    setMinimumSize(minimumSizeHint());
}

MainWindow::~MainWindow() {
    view_.disconnect(this);
    view_.post([](DeviceSession &s) { stop_firmware_check(s); });
    // The relay goes first: it feeds the console, which refers to the
    // widget document; both go before the form.
    delete relay_;
    relay_ = nullptr;
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

void MainWindow::connect_session() {
    install_firmware_check();
    connect(&view_, &SessionView::log_line, this, &MainWindow::append_command_log);
    connect(&view_, &SessionView::connection_changed, this, &MainWindow::show_connection);
    connect(&view_, &SessionView::open_failure_changed, this, &MainWindow::show_connection);
    connect(&view_, &SessionView::polled, this, &MainWindow::show_poll);
    connect(&view_, &SessionView::registers_changed, this, &MainWindow::update_display);
    connect(&view_, &SessionView::polling_changed, this, [this](bool on) {
        if (pollstatus_box_ != nullptr)
            pollstatus_box_->setChecked(on);
    });
    connect(&view_, &SessionView::bus_changed, ui_->comboBox_3, &QComboBox::setCurrentIndex);
    connect(&view_, &SessionView::address_changed, this, [this](uint8_t address) {
        // setCurrentIndex never emits activated: the selector only follows.
        const bool listed = address >= 0x60 && address <= 0x63;
        ui_->comboBox_8->setCurrentIndex(listed ? address - 0x60 : -1);
    });
}

void MainWindow::create_status_labels() {
    connection_label_ = new QLabel(kConnectionLabelInitial, this);
    access_label_ = new QLabel(kAccessLabelInitial, this);
    version_label_ = new QLabel(kChipVersionLabelInitial, this);
    // The connection label shows the state by its background.
    connection_label_->setAutoFillBackground(true);
    statusBar()->addPermanentWidget(version_label_);
    statusBar()->addPermanentWidget(access_label_);
    statusBar()->addPermanentWidget(connection_label_);
}

QButtonGroup *MainWindow::button_group() const {
    return controls_->group();
}

QTcpServer *MainWindow::relay_server() const {
    return relay_->server();
}

void MainWindow::init_hardware() {
    write_statusbar(0, 0, true);
    view_.post([](DeviceSession &s) { connect_adapter(s); });
}

void MainWindow::closeEvent(QCloseEvent *event) {
    qCDebug(lcWindow, "closeEvent()");
    event->accept();
    // Nothing is saved and the adapter is left as it is: the program ends
    // here, whatever timers are running.
    emit ending();
    std::_Exit(0);
}

// ---- Console widget and host interface ---------------------------------------

bool MainWindow::eventFilter(QObject *, QEvent *event) {
    if (event == nullptr || event->type() != QEvent::KeyPress || !console_)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    return console_->key_press(key->key(), key->text());
}

void MainWindow::paste_clipboard() {
    if (console_)
        console_->paste_clipboard();
}

void MainWindow::append_command_log(const QString &line) {
    emit command_logged(line);
    if (registerlog_ == nullptr)
        return;
    pending_log_ += line;
    // The log keeps its last kLogLines lines: older ones gathered within a
    // frame would only be laid out to be dropped.
    if (pending_log_.size() > 2 * kLogLines)
        pending_log_.remove(0, pending_log_.size() - kLogLines);
    log_pacer_->request();
}

void MainWindow::show_pending_log() {
    if (pending_log_.isEmpty())
        return;
    // As plain text: a register name or message is never taken for markup.
    // One edit for every line gathered since the last frame.
    QScrollBar *bar = registerlog_->verticalScrollBar();
    const bool at_bottom = bar->value() == bar->maximum();
    QTextCursor cursor(registerlog_->document());
    cursor.movePosition(QTextCursor::End);
    QString text = pending_log_.join(QLatin1Char('\n'));
    pending_log_.clear();
    if (!registerlog_->document()->isEmpty())
        text.prepend(QLatin1Char('\n'));
    cursor.insertText(text);
    if (at_bottom)
        bar->setValue(bar->maximum());
}

void MainWindow::flush_text() {
    if (console_document_)
        console_document_->flush();
    if (log_pacer_)
        log_pacer_->run_now();
}

void MainWindow::refresh_display() {
    // Every console line asks for it: a burst of lines gets one refresh per
    // kRefreshMs, not one per line, and the last line's state is shown.
    if (refresh_due_)
        return;
    refresh_due_ = true;
    const qint64 since = last_refresh_.isValid() ? last_refresh_.elapsed() : kRefreshMs;
    QTimer::singleShot(static_cast<int>(std::max<qint64>(0, kRefreshMs - since)), this, [this] {
        refresh_due_ = false;
        last_refresh_.start();
        write_statusbar(0, 0, false);
        update_display();
    });
}

// ---- Relay slots: the relay does the work -------------------------------------

void MainWindow::new_connection() {
    relay_->new_connection();
}

void MainWindow::connection_closed() {
    relay_->connection_closed();
}

void MainWindow::data_available() {
    relay_->data_available();
}
