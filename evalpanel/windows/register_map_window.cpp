#include "register_map_window.h"

#include <QComboBox>
#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

#include "chip/rx5120.h"
#include "registers/value_parse.h"
#include "device/operations.h"
#include "device/session_view.h"
#include "device/workbench.h"
#include "registers/field_meaning.h"
#include "registers/register_map.h"
#include "registers/register_table.h"

using namespace evalpanel;

namespace {

// Item data: the register address (top level) or the field's index.
constexpr int kFieldRole = Qt::UserRole + 1;

enum class Mark { None, Reference, File, Pending, Unread };

// The marks' backgrounds: a tint of the palette's base colour, so that the
// palette's text stays readable on a light and on a dark palette alike.
QColor mark_colour(Mark mark, const QPalette &palette) {
    QColor hue;
    switch (mark) {
    case Mark::Reference:
        hue = QColor(255, 193, 7); // amber
        break;
    case Mark::File:
        hue = QColor(33, 150, 243); // blue
        break;
    case Mark::Pending:
        hue = QColor(156, 39, 176); // purple
        break;
    case Mark::Unread:
        hue = QColor(128, 128, 128);
        break;
    case Mark::None:
        return {};
    }
    const QColor base = palette.color(QPalette::Base);
    const double a = base.lightness() < 128 ? 0.45 : 0.35;
    return QColor::fromRgbF(static_cast<float>(base.redF() * (1 - a) + hue.redF() * a),
                            static_cast<float>(base.greenF() * (1 - a) + hue.greenF() * a),
                            static_cast<float>(base.blueF() * (1 - a) + hue.blueF() * a));
}

QString binary(unsigned value, int width) {
    QString text;
    for (int bit = width - 1; bit >= 0; --bit) {
        text += (value >> bit) & 1u ? QLatin1Char('1') : QLatin1Char('0');
        if (bit > 0 && bit % 4 == 0)
            text += QLatin1Char(' ');
    }
    return text;
}

QString hex(unsigned value, int width) {
    return QString::asprintf("0x%0*X", (width + 3) / 4, value);
}

// Registers the chip takes writes to only at the test level.
bool test_level_register(unsigned address) {
    return address == rx5120::kChipIdRegister || address == rx5120::reg::kMultiphase ||
           address == rx5120::reg::kTestMode;
}

QString access_text(bool writable, unsigned address) {
    if (!writable)
        return QStringLiteral("RO");
    return test_level_register(address) ? QStringLiteral("RW test") : QStringLiteral("RW");
}

// The bytes a field's value changes: register, mask, bits. The first
// segment holds the most significant bits.
using Placed = RegisterBits;
std::vector<Placed> place(const FieldInfo &f, unsigned value) {
    std::vector<Placed> out;
    for (auto s = f.segments.rbegin(); s != f.segments.rend(); ++s) {
        const int width = detail::width_of(*s);
        const auto mask = static_cast<uint8_t>(detail::low_mask(s->high + 1) & ~detail::low_mask(s->low));
        out.push_back({static_cast<uint8_t>(s->address), mask,
                       static_cast<uint8_t>((value & detail::low_mask(width)) << s->low)});
        value >>= width;
    }
    return out;
}

// A field with listed values is edited by choosing one of them in its unit
// ("1000 mV"); the choice is put into the value column as hex, from where
// it takes the same way as a typed value. Other values are typed.
class ValueDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override {
        const FieldInfo *f = field_of(index);
        const auto choices = f != nullptr ? field_choices(*f) : decltype(field_choices(*f)){};
        if (choices.empty())
            return QStyledItemDelegate::createEditor(parent, option, index);
        auto *combo = new QComboBox(parent);
        for (const auto &[value, text] : choices)
            combo->addItem(QStringLiteral("%1  (%2)").arg(text, hex(value, f->width)), value);
        combo->setMaxVisibleItems(16);
        return combo;
    }
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &) const override {
        // The choices' texts ("1000 mV  (0x32)") are wider than the hex.
        QRect rect = option.rect;
        rect.setWidth(std::max(rect.width(), editor->sizeHint().width()));
        editor->setGeometry(rect);
    }
    void setEditorData(QWidget *editor, const QModelIndex &index) const override {
        auto *combo = qobject_cast<QComboBox *>(editor);
        if (combo == nullptr)
            return QStyledItemDelegate::setEditorData(editor, index);
        uint32_t value = 0;
        const QByteArray text = index.data().toString().toLatin1();
        if (evalpanel::get_val(text.constData(), &value) == 0)
            combo->setCurrentIndex(combo->findData(value));
    }
    void setModelData(QWidget *editor, QAbstractItemModel *model,
                      const QModelIndex &index) const override {
        auto *combo = qobject_cast<QComboBox *>(editor);
        if (combo == nullptr)
            return QStyledItemDelegate::setModelData(editor, model, index);
        const FieldInfo *f = field_of(index);
        if (combo->currentIndex() >= 0 && f != nullptr)
            model->setData(index, hex(combo->currentData().toUInt(), f->width));
    }

  private:
    static const FieldInfo *field_of(const QModelIndex &index) {
        const int field = index.sibling(index.row(), 0).data(kFieldRole).toInt();
        const auto &fields = register_map().fields;
        return index.parent().isValid() && field >= 0 && field < static_cast<int>(fields.size())
                   ? &fields[static_cast<size_t>(field)]
                   : nullptr;
    }
};

// The tooltip of a field: bits, access, what it does, its power-on value.
QString field_tooltip(const FieldInfo &f, const QString &access, const QString &power_on) {
    QString tip = QStringLiteral("<b>%1</b> %2, %3").arg(f.name, f.bits_text(), access);
    const QString description = field_description(f);
    if (!description.isEmpty())
        tip += QStringLiteral("<br>") + description.toHtmlEscaped();
    return tip + QStringLiteral("<br>") + power_on;
}

} // namespace

RegisterMapWindow::RegisterMapWindow(SessionView &view, Workbench &workbench, Log log,
                                     AutoWrite auto_write, QWidget *parent)
    : QWidget(parent, Qt::Window), view_(view), log_(std::move(log)), auto_write_(std::move(auto_write)) {
    setWindowTitle(QStringLiteral("Register Map"));
    auto *layout = new QVBoxLayout(this);
    filter_ = new QLineEdit(this);
    filter_->setPlaceholderText(QStringLiteral("Filter by name or address (0x12)"));
    filter_->setClearButtonEnabled(true);
    layout->addWidget(filter_);
    tree_ = new QTreeWidget(this);
    tree_->setColumnCount(kColumns);
    tree_->setHeaderLabels({QStringLiteral("Address"), QStringLiteral("Name"),
                            QStringLiteral("Value"), QStringLiteral("Binary"),
                            QStringLiteral("Bits"), QStringLiteral("Access"),
                            QStringLiteral("Text"), QStringLiteral("Marks")});
    tree_->setAlternatingRowColors(true);
    tree_->setUniformRowHeights(true);
    tree_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    tree_->setItemDelegateForColumn(kValue, new ValueDelegate(tree_));
    layout->addWidget(tree_, 1);
    legend_ = new QLabel(this);
    legend_->setWordWrap(true);
    layout->addWidget(legend_);
    message_ = new QLabel(this);
    layout->addWidget(message_);
    build();
    update_legend();

    connect(filter_, &QLineEdit::textChanged, this, &RegisterMapWindow::apply_filter);
    connect(tree_, &QTreeWidget::itemChanged, this, &RegisterMapWindow::edited);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem *item, int column) {
                if (column == kValue && !(item->flags() & Qt::ItemIsEditable))
                    message_->setText(QStringLiteral("%1 is read-only: the chip sets it, a write "
                                                     "does not change it.")
                                          .arg(item->text(kName)));
            });
    for (auto signal : {&SessionView::registers_changed, &SessionView::cache_changed})
        connect(&view_, signal, this, &RegisterMapWindow::schedule_refresh);
    connect(&view_, &SessionView::polled, this, &RegisterMapWindow::schedule_refresh);
    connect(&workbench, &Workbench::configuration_loaded, this,
            [this](const ConfigurationPlan &plan) {
                loaded_ = plan;
                schedule_refresh();
            });
    resize(1060, 720);
}

void RegisterMapWindow::build() {
    const RegisterMap &map = register_map();
    for (const RegisterInfo &r : map.registers) {
        auto *top = new QTreeWidgetItem(tree_);
        top->setText(kAddress, QString::asprintf("0x%02X", r.address));
        top->setText(kName, r.name);
        top->setText(kBits, QStringLiteral("[7:0]"));
        top->setText(kAccess, access_text(r.writable_mask != 0, r.address));
        top->setData(kAddress, kFieldRole, -1);
        if (r.writable_mask != 0)
            top->setFlags(top->flags() | Qt::ItemIsEditable);
        // Fields from the most significant bit down, as a data sheet draws them.
        std::vector<int> fields = r.fields;
        std::stable_sort(fields.begin(), fields.end(), [&map](int a, int b) {
            return map.fields[static_cast<size_t>(a)].segments[0].high >
                   map.fields[static_cast<size_t>(b)].segments[0].high;
        });
        for (int index : fields) {
            const FieldInfo &f = map.fields[static_cast<size_t>(index)];
            auto *child = new QTreeWidgetItem(top);
            child->setText(kName, f.name);
            child->setText(kBits, f.bits_text());
            child->setText(kAccess, access_text(!f.read_only, r.address));
            child->setData(kAddress, kFieldRole, index);
            if (!f.read_only)
                child->setFlags(child->flags() | Qt::ItemIsEditable);
        }
    }
    tree_->expandAll();
    refresh();
    // Columns fit the widest value they may show ("1011 0010", the longest
    // selector text, the marks), read or not.
    QHeaderView *header = tree_->header();
    const QFontMetrics fm(tree_->font());
    const int pad = 24;
    tree_->setColumnWidth(kAddress, fm.horizontalAdvance(QStringLiteral("0x00")) + 2 * pad);
    tree_->setColumnWidth(kName, fm.horizontalAdvance(QStringLiteral("LOAD_CURRENT_SOURCE")) + 2 * pad);
    tree_->setColumnWidth(kValue, fm.horizontalAdvance(QStringLiteral("0x7FF")) + pad);
    tree_->setColumnWidth(kBinary, fm.horizontalAdvance(QStringLiteral("111 1111 1111")) + pad);
    tree_->setColumnWidth(kBits, fm.horizontalAdvance(QStringLiteral("[6:4],0x22[7:0]")) + pad);
    tree_->setColumnWidth(kAccess, fm.horizontalAdvance(QStringLiteral("RW test")) + pad);
    tree_->setColumnWidth(kText, fm.horizontalAdvance(QStringLiteral("15: not in the table")) + pad);
    header->setStretchLastSection(true);
}

void RegisterMapWindow::update_legend() {
    const QPalette &p = palette();
    const auto swatch = [&](Mark m, const char *text) {
        return QStringLiteral("<span style='background:%1; color:%2'>&nbsp;%3&nbsp;</span>")
            .arg(mark_colour(m, p).name(), p.color(QPalette::Text).name(), QString::fromUtf8(text));
    };
    legend_->setText(swatch(Mark::Pending, "pending: kept for Write Registers") + QLatin1Char(' ') +
                     swatch(Mark::Reference, "\u2260 power-on (\u2260 default before power-up)") +
                     QLatin1Char(' ') + swatch(Mark::File, "\u2260 loaded file") +
                     QLatin1Char(' ') + swatch(Mark::Unread, "not read from the chip") +
                     QStringLiteral(" &nbsp; Values are the chip's. Double-click a value to "
                                    "change it; Auto Write decides whether it is written now."));
}

void RegisterMapWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    refresh();
}

void RegisterMapWindow::changeEvent(QEvent *event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        update_legend();
        refresh();
    }
}

void RegisterMapWindow::schedule_refresh() {
    // Many writes in a row (a script, a loaded file) make one refresh, and
    // a hidden window none.
    if (refresh_due_ || !isVisible())
        return;
    refresh_due_ = true;
    QTimer::singleShot(0, this, [this] {
        refresh_due_ = false;
        refresh();
    });
}

void RegisterMapWindow::refresh() {
    const RegisterMap &map = register_map();
    const SessionSnapshot &snap = view_.snapshot();
    const RegisterImage &chip = snap.chip;
    const RegisterImage &kept = snap.registers;
    const bool read = snap.registers_valid;
    const bool power_on = snap.power_on_valid;
    const auto &loaded = loaded_;
    const QPalette &palette = this->palette();
    refreshing_ = true;
    // One row's marks and background; the strongest mark colours the row.
    const auto mark = [&](QTreeWidgetItem *item, const QString &pending, bool not_reference,
                          bool not_file) {
        QStringList marks;
        Mark strongest = Mark::None;
        if (!read) {
            marks << QStringLiteral("not read");
            strongest = Mark::Unread;
        } else {
            if (not_reference)
                marks << (power_on ? QStringLiteral("\u2260 power-on") : QStringLiteral("\u2260 default"));
            if (not_file)
                marks << QStringLiteral("\u2260 file");
            if (!pending.isEmpty())
                marks << QStringLiteral("pending ") + pending;
            strongest = !pending.isEmpty() ? Mark::Pending
                        : not_file         ? Mark::File
                        : not_reference    ? Mark::Reference
                                           : Mark::None;
        }
        item->setText(kMarks, marks.join(QStringLiteral(", ")));
        const QColor colour = mark_colour(strongest, palette);
        for (int c = kValue; c < kColumns; ++c)
            item->setBackground(c, colour.isValid() ? QBrush(colour) : QBrush());
    };
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = tree_->topLevelItem(i);
        const RegisterInfo &r = map.registers[static_cast<size_t>(i)];
        const unsigned a = r.address;
        top->setText(kValue, read ? hex(chip[a], 8) : QStringLiteral("--"));
        top->setText(kBinary, read ? binary(chip[a], 8) : QString());
        // Against the power-on values only what a configuration would set:
        // flags, status and counters change by themselves.
        const bool not_reference =
            power_on ? r.in_configuration && chip[a] != snap.power_on[a] : r.differs_from_default(chip);
        // The measurement setting changes as the program measures: no marks.
        mark(top, kept[a] != chip[a] ? hex(kept[a], 8) : QString(), not_reference && !r.measurement,
             loaded && r.differs(chip, loaded->mask, loaded->value));
        top->setToolTip(kName, read ? QStringLiteral("<b>%1</b> 0x%2<br>%3")
                                          .arg(r.name)
                                          .arg(a, 2, 16, QLatin1Char('0'))
                                          .arg(register_meaning(r, chip).toHtmlEscaped())
                                    : QString());
        // A register that is one field shows that field's meaning.
        top->setText(kText, read && top->childCount() == 1 &&
                                    map.fields[static_cast<size_t>(
                                                   top->child(0)->data(kAddress, kFieldRole).toInt())]
                                            .width == 8
                                ? field_value_text(map.fields[static_cast<size_t>(
                                                       top->child(0)->data(kAddress, kFieldRole).toInt())],
                                                   chip[a])
                                : QString());
        for (int j = 0; j < top->childCount(); ++j) {
            QTreeWidgetItem *child = top->child(j);
            const FieldInfo &f =
                map.fields[static_cast<size_t>(child->data(kAddress, kFieldRole).toInt())];
            const unsigned v = f.value_in(chip);
            const unsigned k = f.value_in(kept);
            child->setText(kValue, read ? hex(v, f.width) : QStringLiteral("--"));
            child->setText(kBinary, read ? binary(v, f.width) : QString());
            child->setText(kText, read ? field_value_text(f, v) : QString());
            const bool known = power_on || f.default_value >= 0;
            const unsigned first = power_on ? f.value_in(snap.power_on) : unsigned(f.default_value);
            child->setToolTip(
                kName, field_tooltip(f, child->text(kAccess),
                                     known ? QStringLiteral("%1: %2 (%3)")
                                                 .arg(power_on ? QStringLiteral("Power-on value")
                                                               : QStringLiteral("Default"),
                                                      hex(first, f.width), field_value_text(f, first))
                                           : QStringLiteral("No default in the register table; "
                                                            "not read at power-on yet.")));
            for (int c = kValue; c <= kText; ++c)
                child->setToolTip(c, child->toolTip(kName));
            const bool field_reference =
                power_on ? !f.read_only && r.in_configuration && v != f.value_in(snap.power_on)
                         : f.differs_from_default(chip);
            mark(child, k != v ? field_value_text(f, k) + QStringLiteral(" (") + hex(k, f.width) + QLatin1Char(')')
                               : QString(),
                 field_reference && !r.measurement,
                 loaded && f.differs(chip, loaded->mask, loaded->value));
        }
    }
    refreshing_ = false;
}

void RegisterMapWindow::apply_filter() {
    // A name or an address ("0x12", "12"): a register matches with all its
    // fields, a field by its own name.
    const QString text = filter_->text().trimmed();
    const auto address_matches = [&text](const QString &address) {
        if (text.isEmpty())
            return true;
        QString t = text;
        if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            t = t.mid(2);
        return !t.isEmpty() && address.mid(2).startsWith(t, Qt::CaseInsensitive) &&
               t.size() <= 2;
    };
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = tree_->topLevelItem(i);
        const bool top_match = top->text(kName).contains(text, Qt::CaseInsensitive) ||
                               address_matches(top->text(kAddress));
        bool any = false;
        for (int j = 0; j < top->childCount(); ++j) {
            const bool match = top_match || top->child(j)->text(kName).contains(text, Qt::CaseInsensitive);
            top->child(j)->setHidden(!match);
            any = any || match;
        }
        top->setHidden(!top_match && !any);
    }
}

void RegisterMapWindow::edited(QTreeWidgetItem *item, int column) {
    if (refreshing_ || column != kValue)
        return;
    const int index = item->data(kAddress, kFieldRole).toInt();
    const RegisterMap &map = register_map();
    const char *line = nullptr;
    QString name;
    std::vector<Placed> bytes;
    bool writable = true;
    uint32_t value = 0;
    QString unit; // " (1000 mV)" for a field
    const QByteArray text = item->text(kValue).trimmed().toLatin1();
    const bool parsed = evalpanel::get_val(text.constData(), &value) == 0;
    if (index >= 0) {
        const FieldInfo &f = map.fields[static_cast<size_t>(index)];
        line = f.line;
        name = f.name;
        writable = !f.read_only;
        bytes = place(f, value);
        if (parsed && value <= get_reg_max(line))
            unit = QStringLiteral(" (%1)").arg(field_value_text(f, value));
    } else {
        const RegisterInfo &r = map.registers[static_cast<size_t>(tree_->indexOfTopLevelItem(item))];
        line = r.line;
        name = r.name;
        writable = r.writable_mask != 0;
        bytes.push_back({r.address, 0xFF, static_cast<uint8_t>(value)});
    }
    const uint32_t maximum = get_reg_max(line);
    if (!writable) {
        message_->setText(QStringLiteral("%1 is read-only.").arg(name));
    } else if (!parsed) {
        message_->setText(QStringLiteral("%1: value must be in hexadecimal, binary or decimal format.").arg(name));
    } else if (value > maximum) {
        message_->setText(QString::asprintf("%s: value out of bounds. (0-%X) (0-%u dec)",
                                            qPrintable(name), maximum, maximum));
    } else if (auto_write_ && !auto_write_()) {
        // Kept in RegisterCache, as a selector change is with Auto Write
        // off: the chip keeps its value until "Write Registers".
        message_->setText(QString::asprintf("%s = 0x%X%s pending: Write Registers sends it",
                                            qPrintable(name), value, qPrintable(unit)));
        view_.post([bytes](DeviceSession &s) { keep_map_edit(s, bytes); });
    } else {
        // Logged before the write, as the console does. The map shows page
        // 0, so the write goes there whatever page is selected; the write is
        // one job on the device thread, its outcome shown when it is done.
        log_(QString::asprintf("%s = 0x%X", qPrintable(name), value));
        message_->setText(QString::asprintf("%s = 0x%X%s: writing", qPrintable(name), value,
                                            qPrintable(unit)));
        view_.ask(
            [line, value](DeviceSession &s) { return write_map_edit(s, line, value); },
            this,
            [this, name, value, unit](bool written) {
                message_->setText(written ? QString::asprintf("%s = 0x%X%s written",
                                                              qPrintable(name), value,
                                                              qPrintable(unit))
                                          : QStringLiteral("%1: I2C : NO ACK").arg(name));
                refresh();
            });
    }
    QTimer::singleShot(0, this, &RegisterMapWindow::refresh);
}
