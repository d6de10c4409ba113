// The register map: every register of the definition table with its
// fields (most significant first), the chip's values in hex and binary,
// the field's meaning in its unit ("1000 mV"; a tooltip adds what the field
// does and its power-on value), who may write it, and marks: a
// change kept for "Write Registers" ("pending" with the kept value, never
// shown as the chip's), values that differ from those read right after the
// chip last powered up (or from the table's defaults until it has), from
// the configuration last loaded, or that were never read. A value is edited
// in place as the main window's controls are: written at once with Auto
// Write on, kept until "Write Registers" with it off; read-only fields are
// not editable; a field with listed values is edited by choosing one in its
// unit. The load-current source is the program's measurement setting and
// carries no ≠ marks. The map follows the session's polls and writes by itself.
#pragma once

#include <QWidget>

#include <functional>
#include <optional>

#include "device/configuration.h"

class QLabel;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace evalpanel {
class SessionView;
class Workbench;
struct FieldInfo;
} // namespace evalpanel

class RegisterMapWindow : public QWidget {
    Q_OBJECT

  public:
    enum Column { kAddress, kName, kValue, kBinary, kBits, kAccess, kText, kMarks, kColumns };

    using Log = std::function<void(const QString &line)>;
    // Whether "Auto Write" is ticked.
    using AutoWrite = std::function<bool()>;

    RegisterMapWindow(evalpanel::SessionView &view, evalpanel::Workbench &workbench,
                      Log log, AutoWrite auto_write,
                      QWidget *parent = nullptr);

    QTreeWidget *tree() const { return tree_; }
    QLineEdit *filter() const { return filter_; }
    QLabel *message() const { return message_; }
    // Brings every row up to date (done by itself after polls and writes).
    void refresh();

  protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

  private:
    void build();
    void update_legend();
    void schedule_refresh();
    void apply_filter();
    void edited(QTreeWidgetItem *item, int column);

    evalpanel::SessionView &view_;
    // The configuration last loaded, as the workbench announced it.
    std::optional<evalpanel::ConfigurationPlan> loaded_;
    Log log_;
    AutoWrite auto_write_;
    QTreeWidget *tree_ = nullptr;
    QLineEdit *filter_ = nullptr;
    QLabel *message_ = nullptr;
    QLabel *legend_ = nullptr;
    bool refreshing_ = false;
    bool refresh_due_ = false;
};
