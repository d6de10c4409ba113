// The register map: every register of the definition table with its
// fields, their values from RegisterCache in hex and binary, the text a
// selector of the main window shows for a field, and marks for values that
// differ from the chip's defaults or from the configuration last loaded, or
// that were never read from the chip. A value is edited in place (written
// through the session and logged as the console logs the same write); the
// map follows the session's polls and writes by itself.
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
    enum Column { kAddress, kName, kValue, kBinary, kBits, kText, kMarks, kColumns };

    // The text of a field's value in the main window's selector, or empty.
    using ItemText = std::function<QString(const evalpanel::FieldInfo &, unsigned value)>;
    using Log = std::function<void(const QString &line)>;

    RegisterMapWindow(evalpanel::SessionView &view, evalpanel::Workbench &workbench,
                      ItemText item_text, Log log, QWidget *parent = nullptr);

    QTreeWidget *tree() const { return tree_; }
    QLineEdit *filter() const { return filter_; }
    QLabel *message() const { return message_; }
    // Brings every row up to date (done by itself after polls and writes).
    void refresh();

  protected:
    void showEvent(QShowEvent *event) override;

  private:
    void build();
    void schedule_refresh();
    void apply_filter();
    void edited(QTreeWidgetItem *item, int column);

    evalpanel::SessionView &view_;
    // The configuration last loaded, as the workbench announced it.
    std::optional<evalpanel::ConfigurationPlan> loaded_;
    ItemText item_text_;
    Log log_;
    QTreeWidget *tree_ = nullptr;
    QLineEdit *filter_ = nullptr;
    QLabel *message_ = nullptr;
    QLabel *legend_ = nullptr;
    bool refreshing_ = false;
    bool refresh_due_ = false;
};
