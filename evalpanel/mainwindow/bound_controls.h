// The controls bound to registers, pins and converter inputs by their object
// names, decoded once into a table. Refreshing them reads the session's
// snapshot; a click or a choice on one becomes one job on the device thread
// (a read-modify-write included).
#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

#include "binding.h"

class QAbstractButton;
class QButtonGroup;
class QComboBox;
class QLineEdit;
class QWidget;

namespace evalpanel {
class SessionView;
}

class BoundControls : public QObject {
    Q_OBJECT

  public:
    template <typename W> struct Entry {
        W *widget;
        ControlBinding binding;
    };

    // Collects the bound controls under `root` (in the order of the search,
    // which is the order of the lists and of the button group's ids).
    BoundControls(QWidget *root, evalpanel::SessionView &view);

    const QList<QAbstractButton *> &buttons() const { return buttons_; }
    const QList<QComboBox *> &combos() const { return combos_; }
    const QList<QLineEdit *> &edits() const { return edits_; }
    QButtonGroup *group() const { return group_; }

    // Brings every bound control up to date. `on_interrupt` runs when a pin
    // indicator shows an active (low) interrupt line.
    void refresh(const std::function<void()> &on_interrupt);

    // A bound button or selector was used. Writes go to the chip at once
    // when `auto_write` is set (push buttons always); `accessed` reports
    // each written register for the status bar once the job has run. The
    // record lines go to the command log through the session.
    using Accessed = std::function<void(int reg, int value)>;
    void button_clicked(int id, bool auto_write, const Accessed &accessed);
    void combo_activated(QComboBox *combo, int index, bool auto_write, const Accessed &accessed);

    // The registers "Write Registers" sends: every cb button's register in
    // list order, then every selector's (and its second segment's).
    std::vector<uint8_t> registers_to_write() const;

  private:
    void refresh_buttons();
    void refresh_selectors();
    void refresh_edits(const std::function<void()> &on_interrupt);
    void register_bit_clicked(QAbstractButton *button, const ControlBinding &b, bool auto_write,
                              const Accessed &accessed);
    void pin_button_clicked(QAbstractButton *button, const ControlBinding &b);

    evalpanel::SessionView &view_;
    QList<QAbstractButton *> buttons_;
    QList<QComboBox *> combos_;
    QList<QLineEdit *> edits_;
    std::vector<Entry<QAbstractButton>> button_table_;
    std::vector<Entry<QComboBox>> combo_table_;
    std::vector<Entry<QLineEdit>> edit_table_;
    QButtonGroup *group_ = nullptr;
};

class LiveRule;
// The not-live rule for what the session's snapshot says now.
LiveRule live_rule(const evalpanel::SessionView &view);

// Sets a field's text and shows its beginning.
void set_field_text(QLineEdit *field, const QString &text);
