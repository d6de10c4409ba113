// The direct register access window: one register address and one data byte
// in two hexadecimal fields, and the eight bits of the data as check boxes
// labelled with the names of the register's bits. The window only keeps the
// address and the data; reading and writing the chip is the main window's
// (dr_read, dr_write), which it asks for through read_requested() and
// write_requested().
//
// The data stays blank, its boxes and Write disabled, until the register
// at the address was read: nothing is written that was not seen first. The
// register's name and access and the last read or write are shown in the
// window; Return reads, it never writes.
//
// One instance lives for the whole run, created hidden by the main window.
// Closing it only hides it; reopening shows the last address and data.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>

namespace Ui {
class direct_access;
}
class QButtonGroup;
class QLabel;
class QLineEdit;
class QPushButton;

class direct_access : public QDialog {
    Q_OBJECT

  public:
    explicit direct_access(QWidget *parent = nullptr);
    ~direct_access() override;

    // The current register address and data byte.
    uint8_t address() const { return address_; }
    uint8_t data() const { return data_; }
    // Makes `value` the current data and shows it (after a read).
    void set_data(uint8_t value);
    // The data was read (or set) for the current address: Write may go.
    bool data_known() const { return data_known_; }
    // A read or a write has been done (or failed): shown in the window's
    // last-access line.
    void show_access(bool write, uint8_t address, uint8_t value, bool ok);
    QLabel *register_label() const { return register_label_; }
    QLabel *last_access_label() const { return last_access_; }
    QPushButton *write_button() const;
    QPushButton *read_button() const;

    QButtonGroup *button_group() const;
    QLineEdit *address_edit() const;
    QLineEdit *data_edit() const;

  signals:
    // The "Read" or "Write" button was clicked.
    void read_requested();
    void write_requested();

  private slots:
    // The address changed: new current address, new bit labels.
    void on_lineEdit_textChanged(const QString &text);
    // The data changed: new current data, boxes follow its bits.
    void on_lineEdit_2_textChanged(const QString &text);
    // The box of bit `id` was clicked (connected to the group's idClicked).
    void on_buttonGroup_buttonClicked(int id);

  private:
    void show_data();
    void set_known(bool known);

    std::unique_ptr<Ui::direct_access> ui_;
    uint8_t address_ = 0;
    uint8_t data_ = 0;
    bool data_known_ = false;
    QLabel *register_label_ = nullptr;
    QLabel *last_access_ = nullptr;
};
