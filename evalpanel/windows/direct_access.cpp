#include "direct_access.h"

#include "bit_names.h"
#include "ui_direct_access.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QLayout>

namespace {

// A hexadecimal field's value cut to 8 bits; empty or unreadable text is 0.
uint8_t hex_byte(const QString &text) {
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok, 16);
    return ok ? static_cast<uint8_t>(value & 0xFF) : 0;
}

} // namespace

direct_access::direct_access(QWidget *parent) : QDialog(parent), ui_(new Ui::direct_access) {
    ui_->setupUi(this);
    // Exactly two hexadecimal digits in either field.
    ui_->lineEdit->setInputMask(QStringLiteral("HH"));
    ui_->lineEdit_2->setInputMask(QStringLiteral("HH"));

    // Ids are the bit numbers: the top box is bit 7.
    QAbstractButton *const boxes[8] = {ui_->checkBox,   ui_->checkBox_2, ui_->checkBox_3,
                                       ui_->checkBox_4, ui_->checkBox_5, ui_->checkBox_6,
                                       ui_->checkBox_7, ui_->checkBox_8};
    for (int i = 0; i < 8; ++i)
        ui_->buttonGroup->setId(boxes[i], 7 - i);
    // The form makes no connections by name (the group's signal is
    // idClicked(int) nowadays); the three slots are connected here.
    connect(ui_->lineEdit, &QLineEdit::textChanged, this, &direct_access::on_lineEdit_textChanged);
    connect(ui_->lineEdit_2, &QLineEdit::textChanged, this,
            &direct_access::on_lineEdit_2_textChanged);
    connect(ui_->buttonGroup, &QButtonGroup::idClicked, this,
            &direct_access::on_buttonGroup_buttonClicked);

    setWindowTitle(tr("Direct Register Access"));
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    connect(ui_->pushButton, &QPushButton::clicked, this, [this] {
        if (data_known_)
            emit write_requested();
    });
    connect(ui_->pushButton_2, &QPushButton::clicked, this, &direct_access::read_requested);
    // Return never writes: no button is the default; in the address it reads.
    for (QPushButton *b : {ui_->pushButton, ui_->pushButton_2}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    connect(ui_->lineEdit, &QLineEdit::returnPressed, this, &direct_access::read_requested);
    ui_->pushButton_2->setToolTip(tr("Read the register at the address from the chip"));

    // The register's name and access under the fields, the last access at
    // the bottom.
    auto *grid = qobject_cast<QGridLayout *>(layout());
    register_label_ = new QLabel(this);
    register_label_->setObjectName(QStringLiteral("register_label"));
    last_access_ = new QLabel(tr("Nothing read or written yet."), this);
    last_access_->setObjectName(QStringLiteral("last_access"));
    if (grid != nullptr) {
        grid->addWidget(register_label_, grid->rowCount(), 0);
        grid->addWidget(last_access_, grid->rowCount(), 0);
    }

    // Labels for register 0x00 from the start; no data until it is read.
    on_lineEdit_textChanged(ui_->lineEdit->text());
    set_known(false);
}

QPushButton *direct_access::write_button() const {
    return ui_->pushButton;
}

QPushButton *direct_access::read_button() const {
    return ui_->pushButton_2;
}

void direct_access::set_known(bool known) {
    data_known_ = known;
    if (!known) {
        data_ = 0;
        ui_->lineEdit_2->blockSignals(true);
        ui_->lineEdit_2->clear();
        ui_->lineEdit_2->blockSignals(false);
        for (int bit = 0; bit < 8; ++bit)
            if (QAbstractButton *box = ui_->buttonGroup->button(bit))
                box->setChecked(false);
    }
    ui_->lineEdit_2->setEnabled(known);
    for (QAbstractButton *box : ui_->buttonGroup->buttons())
        box->setEnabled(known);
    ui_->pushButton->setEnabled(known);
    ui_->pushButton->setToolTip(known ? tr("Write the data to the register at the address")
                                      : tr("Read the register first"));
}

void direct_access::show_access(bool write, uint8_t address, uint8_t value, bool ok) {
    const QString when = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss"));
    const QString reg = QStringLiteral("0x%1").arg(address, 2, 16, QLatin1Char('0'));
    const QString byte = QStringLiteral("0x%1").arg(value, 2, 16, QLatin1Char('0'));
    QString text;
    if (write)
        text = ok ? tr("%1  wrote %2 to %3").arg(when, byte, reg)
                  : tr("%1  writing %2 to %3 failed: the chip did not take it").arg(when, byte, reg);
    else
        text = ok ? tr("%1  read %2 from %3").arg(when, byte, reg)
                  : tr("%1  reading %2 failed: no answer (ff shown)").arg(when, reg);
    last_access_->setText(text);
}

direct_access::~direct_access() = default;

QButtonGroup *direct_access::button_group() const {
    return ui_->buttonGroup;
}

QLineEdit *direct_access::address_edit() const {
    return ui_->lineEdit;
}

QLineEdit *direct_access::data_edit() const {
    return ui_->lineEdit_2;
}

void direct_access::on_lineEdit_textChanged(const QString &text) {
    const uint8_t address = hex_byte(text);
    // Another register: its data is unknown until it is read.
    if (address != address_ && register_label_ != nullptr)
        set_known(false);
    address_ = address;
    for (int bit = 0; bit < 8; ++bit) {
        if (QAbstractButton *box = ui_->buttonGroup->button(bit))
            box->setText(QStringLiteral("bit %1    %2").arg(bit).arg(evalpanel::bit_label(address_, bit)));
    }
    if (register_label_ != nullptr)
        register_label_->setText(evalpanel::register_summary(address_));
}

void direct_access::on_lineEdit_2_textChanged(const QString &text) {
    data_ = hex_byte(text);
    for (int bit = 0; bit < 8; ++bit) {
        if (QAbstractButton *box = ui_->buttonGroup->button(bit))
            box->setChecked((data_ >> bit) & 1);
    }
}

void direct_access::on_buttonGroup_buttonClicked(int id) {
    QAbstractButton *box = ui_->buttonGroup->button(id);
    if (!box || id < 0 || id > 7)
        return;
    data_ = static_cast<uint8_t>(data_ & ~(1u << id));
    if (box->isChecked())
        data_ = static_cast<uint8_t>(data_ | (1u << id));
    show_data();
}

void direct_access::set_data(uint8_t value) {
    set_known(true);
    data_ = value;
    show_data();
}

// Writes the data into its field; the field's change sets the boxes. When the
// text is already there no change fires, so the boxes are set here.
void direct_access::show_data() {
    const QString text = QStringLiteral("%1").arg(data_, 2, 16, QLatin1Char('0'));
    if (ui_->lineEdit_2->text() == text)
        on_lineEdit_2_textChanged(text);
    else
        ui_->lineEdit_2->setText(text);
}
