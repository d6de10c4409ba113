#include "direct_access.h"

#include "bit_names.h"
#include "ui_direct_access.h"

#include <QAbstractButton>
#include <QButtonGroup>
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

    connect(ui_->pushButton, &QPushButton::clicked, this, &direct_access::write_requested);
    connect(ui_->pushButton_2, &QPushButton::clicked, this, &direct_access::read_requested);

    // Labels for register 0x00 from the start.
    on_lineEdit_textChanged(ui_->lineEdit->text());
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
    address_ = hex_byte(text);
    for (int bit = 0; bit < 8; ++bit) {
        if (QAbstractButton *box = ui_->buttonGroup->button(bit)) {
            const QString name =
                QString::fromLatin1(evalpanel::direct_access_bit_name(address_, bit));
            box->setText(QStringLiteral("bit %1    %2").arg(bit).arg(name));
        }
    }
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
