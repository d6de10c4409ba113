// The direct register access window: one register address and one data byte
// in two hexadecimal fields, and the eight bits of the data as check boxes
// labelled with the names of the register's bits. The window only keeps the
// address and the data; reading and writing the chip is the main window's
// (dr_read, dr_write), which it asks for through read_requested() and
// write_requested().
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
class QLineEdit;

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

    std::unique_ptr<Ui::direct_access> ui_;
    uint8_t address_ = 0;
    uint8_t data_ = 0;
};
