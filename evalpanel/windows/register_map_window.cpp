#include "register_map_window.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/value_parse.h"
#include "device/device_session.h"
#include "device/session_view.h"
#include "device/workbench.h"
#include "registers/register_map.h"
#include "registers/register_table.h"

using namespace evalpanel;

namespace {

// Item data: the register address (top level) or the field's index.
constexpr int kFieldRole = Qt::UserRole + 1;

const QColor kDefaultColour(255, 236, 179); // differs from the chip's default
const QColor kFileColour(187, 222, 251);    // differs from the loaded configuration
const QColor kUnreadColour(224, 224, 224);  // never read from the chip

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

} // namespace

RegisterMapWindow::RegisterMapWindow(SessionView &view, Workbench &workbench, ItemText item_text,
                                     Log log, QWidget *parent)
    : QWidget(parent, Qt::Window), view_(view), item_text_(std::move(item_text)),
      log_(std::move(log)) {
    setWindowTitle(QStringLiteral("Register Map"));
    auto *layout = new QVBoxLayout(this);
    filter_ = new QLineEdit(this);
    filter_->setPlaceholderText(QStringLiteral("Filter by register or field name"));
    filter_->setClearButtonEnabled(true);
    layout->addWidget(filter_);
    tree_ = new QTreeWidget(this);
    tree_->setColumnCount(kColumns);
    tree_->setHeaderLabels({QStringLiteral("Address"), QStringLiteral("Name"),
                            QStringLiteral("Value"), QStringLiteral("Binary"),
                            QStringLiteral("Bits"), QStringLiteral("Text"),
                            QStringLiteral("Marks")});
    tree_->setAlternatingRowColors(true);
    tree_->setUniformRowHeights(true);
    tree_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    layout->addWidget(tree_, 1);
    legend_ = new QLabel(this);
    legend_->setText(
        QStringLiteral("<span style='background:%1'>&nbsp;differs from default&nbsp;</span> "
                       "<span style='background:%2'>&nbsp;differs from loaded file&nbsp;</span> "
                       "<span style='background:%3'>&nbsp;not read from the chip&nbsp;</span> "
                       "&nbsp; Double-click a value to write it.")
            .arg(kDefaultColour.name(), kFileColour.name(), kUnreadColour.name()));
    layout->addWidget(legend_);
    message_ = new QLabel(this);
    layout->addWidget(message_);
    build();

    connect(filter_, &QLineEdit::textChanged, this, &RegisterMapWindow::apply_filter);
    connect(tree_, &QTreeWidget::itemChanged, this, &RegisterMapWindow::edited);
    for (auto signal : {&SessionView::registers_changed, &SessionView::cache_changed})
        connect(&view_, signal, this, &RegisterMapWindow::schedule_refresh);
    connect(&view_, &SessionView::polled, this, &RegisterMapWindow::schedule_refresh);
    connect(&workbench, &Workbench::configuration_loaded, this,
            [this](const ConfigurationPlan &plan) {
                loaded_ = plan;
                schedule_refresh();
            });
    resize(980, 720);
}

void RegisterMapWindow::build() {
    const RegisterMap &map = register_map();
    for (const RegisterInfo &r : map.registers) {
        auto *top = new QTreeWidgetItem(tree_);
        top->setText(kAddress, QString::asprintf("0x%02X", r.address));
        top->setText(kName, r.name);
        top->setText(kBits, QStringLiteral("[7:0]"));
        top->setData(kAddress, kFieldRole, -1);
        top->setFlags(top->flags() | Qt::ItemIsEditable);
        for (int index : r.fields) {
            const FieldInfo &f = map.fields[static_cast<size_t>(index)];
            auto *child = new QTreeWidgetItem(top);
            child->setText(kName, f.name);
            child->setText(kBits, f.bits_text() + (f.read_only ? QStringLiteral("  RO") : QString()));
            child->setData(kAddress, kFieldRole, index);
            child->setFlags(child->flags() | Qt::ItemIsEditable);
        }
    }
    tree_->expandAll();
    refresh();
    // Columns fit the widest value they may show ("1011 0010", the longest
    // selector text, both marks), read or not.
    QHeaderView *header = tree_->header();
    const QFontMetrics fm(tree_->font());
    const int pad = 24;
    tree_->setColumnWidth(kAddress, fm.horizontalAdvance(QStringLiteral("0x00")) + 2 * pad);
    tree_->setColumnWidth(kName, fm.horizontalAdvance(QStringLiteral("LOAD_CURRENT_SOURCE")) + 2 * pad);
    tree_->setColumnWidth(kValue, fm.horizontalAdvance(QStringLiteral("0x7FF")) + pad);
    tree_->setColumnWidth(kBinary, fm.horizontalAdvance(QStringLiteral("111 1111 1111")) + pad);
    tree_->setColumnWidth(kBits, fm.horizontalAdvance(QStringLiteral("[6:4],0x22[7:0]  RO")) + pad);
    tree_->setColumnWidth(kText, fm.horizontalAdvance(QStringLiteral("Master; 3/3 Phases")) + pad);
    header->setStretchLastSection(true);
}

void RegisterMapWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    refresh();
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
    const RegisterImage &image = view_.registers();
    const bool read = view_.registers_valid();
    const auto &loaded = loaded_;
    refreshing_ = true;
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = tree_->topLevelItem(i);
        const RegisterInfo &r = map.registers[static_cast<size_t>(i)];
        const auto mark = [&](QTreeWidgetItem *item, bool not_default, bool not_file) {
            QStringList marks;
            QColor colour;
            if (!read) {
                marks << QStringLiteral("not read");
                colour = kUnreadColour;
            } else {
                if (not_file) {
                    marks << QStringLiteral("\u2260 file");
                    colour = kFileColour;
                }
                if (not_default) {
                    marks << QStringLiteral("\u2260 default");
                    colour = kDefaultColour;
                }
            }
            item->setText(kMarks, marks.join(QStringLiteral(", ")));
            for (int c = kValue; c < kColumns; ++c)
                item->setBackground(c, colour.isValid() ? QBrush(colour) : QBrush());
        };
        top->setText(kValue, read ? hex(image[r.address], 8) : QStringLiteral("--"));
        top->setText(kBinary, read ? binary(image[r.address], 8) : QString());
        mark(top, r.differs_from_default(image),
             loaded && r.differs(image, loaded->mask, loaded->value));
        for (int j = 0; j < top->childCount(); ++j) {
            QTreeWidgetItem *child = top->child(j);
            const FieldInfo &f =
                map.fields[static_cast<size_t>(child->data(kAddress, kFieldRole).toInt())];
            const unsigned v = f.value_in(image);
            child->setText(kValue, read ? hex(v, f.width) : QStringLiteral("--"));
            child->setText(kBinary, read ? binary(v, f.width) : QString());
            child->setText(kText, read && item_text_ ? item_text_(f, v) : QString());
            mark(child, f.differs_from_default(image),
                 loaded && f.differs(image, loaded->mask, loaded->value));
        }
    }
    refreshing_ = false;
}

void RegisterMapWindow::apply_filter() {
    const QString text = filter_->text().trimmed();
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = tree_->topLevelItem(i);
        const bool top_match = top->text(kName).contains(text, Qt::CaseInsensitive);
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
    if (index >= 0) {
        line = map.fields[static_cast<size_t>(index)].line;
        name = map.fields[static_cast<size_t>(index)].name;
    } else {
        const RegisterInfo &r = map.registers[static_cast<size_t>(tree_->indexOfTopLevelItem(item))];
        line = r.line;
        name = r.name;
    }
    uint32_t value = 0;
    const QByteArray text = item->text(kValue).trimmed().toLatin1();
    const uint32_t maximum = get_reg_max(line);
    if (console::get_val(text.constData(), &value) != 0) {
        message_->setText(QStringLiteral("%1: value must be in hexadecimal, binary or decimal format.").arg(name));
    } else if (value > maximum) {
        message_->setText(QString::asprintf("%s: value out of bounds. (0-%X) (0-%u dec)",
                                            qPrintable(name), maximum, maximum));
    } else {
        // Logged before the write, as the console does. The map shows page
        // 0, so the write goes there whatever page is selected; the write is
        // one job on the device thread, its outcome shown when it is done.
        log_(QString::asprintf("%s = 0x%X", qPrintable(name), value));
        message_->setText(QString::asprintf("%s = 0x%X: writing", qPrintable(name), value));
        view_.ask(
            [line, value](DeviceSession &s) {
                DeviceSession::PageGuard page(s);
                return set_reg_value(s, line, value) >= 0;
            },
            this,
            [this, name, value](bool written) {
                message_->setText(written ? QString::asprintf("%s = 0x%X written",
                                                              qPrintable(name), value)
                                          : QStringLiteral("%1: I2C : NO ACK").arg(name));
                refresh();
            });
    }
    QTimer::singleShot(0, this, &RegisterMapWindow::refresh);
}
