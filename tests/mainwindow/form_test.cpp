// The main window's form on its own: the object names the window binds and
// looks up, the item lists that decide register values, the menus and the
// form's own connections.
#include "binding.h"
#include "form.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

class FormTest : public testing::Test {
  protected:
    FormTest() { ui.setupUi(&window); }

    QMainWindow window;
    Ui::MainWindow ui;
};

// The bound controls by widget class. Their names carry the bindings, so a
// renamed, lost or extra control changes what the window reads and writes.
const std::map<QString, const char *> &expected_bound() {
    static const std::map<QString, const char *> table = [] {
        const std::pair<const char *, const char *> by_class[] = {
            {"QCheckBox", "io0022 io0023 cb110 io0024 cb007 cb0f2 cb2e1 cb2e2 cb0f1 cb0f0 cb2e3 "
                          "cb2e0 cb060 cb075 cb074"},
            {"QPushButton", "cb0d2 cb0e3 cb0e2 cb0e4 cb0e1 cb0e0 cb0e5"},
            {"QLineEdit", "adc010010250100 le0d2 lio0018 le0e3 le0e2 le0e4 le0e1 le0e0 le0e5"},
            {"QComboBox", "co0060 co1974 co1f74 co0776 co1930 co1f30 co1270 co0730 co0876 co0976 "
                          "co0a76 co0b76 co0c76 co1055 co1033 co1011 co1000"},
        };
        std::map<QString, const char *> out;
        for (const auto &[kind, names] : by_class)
            for (const QString &name : QString::fromLatin1(names).split(' '))
                out[name] = kind;
        return out;
    }();
    return table;
}

template <typename T> QStringList names_matching(QObject &root, const char *pattern) {
    QStringList names;
    for (T *w : root.findChildren<T *>(QRegularExpression(QString::fromLatin1(pattern))))
        names << w->objectName();
    return names;
}

TEST_F(FormTest, BoundControlsAreExactlyTheListedOnes) {
    QStringList found = names_matching<QAbstractButton>(window, kBoundButtonPattern);
    found += names_matching<QComboBox>(window, kBoundComboPattern);
    found += names_matching<QLineEdit>(window, kBoundEditPattern);

    std::set<QString> got(found.begin(), found.end());
    EXPECT_EQ(static_cast<qsizetype>(got.size()), found.size()) << "a name occurs twice";
    for (const auto &[name, kind] : expected_bound()) {
        QWidget *w = window.findChild<QWidget *>(name);
        ASSERT_NE(w, nullptr) << "missing " << name.toStdString();
        EXPECT_STREQ(w->metaObject()->className(), kind) << name.toStdString();
        EXPECT_NE(decode_binding(name).kind, BindingKind::None) << name.toStdString();
    }
    for (const QString &name : got)
        EXPECT_TRUE(expected_bound().count(name)) << "unexpected " << name.toStdString();
}

// The status fields are read-only.
TEST_F(FormTest, StatusFieldsAreReadOnly) {
    const QList<QLineEdit *> fields = window.findChildren<QLineEdit *>(
        QRegularExpression("^(mode[0-5]|multiphase[0-5]|current[0-6]|chip_temp|board_temp)$"));
    EXPECT_EQ(fields.size(), 21);
    for (QLineEdit *edit : fields)
        EXPECT_TRUE(edit->isReadOnly()) << edit->objectName().toStdString();
    EXPECT_TRUE(ui.plainTextEdit->isReadOnly());
}

// The two-item selectors; the window tests prove the other lists' order by
// the values their items write.
TEST_F(FormTest, ItemLists) {
    const std::pair<const char *, QStringList> lists[] = {
        {"comboBox_3", {"System", "Ventra"}}, {"co1055", {"Disabled", "Enabled"}},
        {"co1033", {"Enabled", "Disabled"}},  {"co1011", {"Low", "High (SLP)"}},
        {"co1000", {"Disabled", "Enabled"}}};
    // The text step can run again (a language change) without doubling lists.
    for (bool again : {false, true}) {
        if (again) {
            ui.retranslateUi(&window);
        }
        for (const auto &[name, items] : lists) {
            auto *combo = window.findChild<QComboBox *>(name);
            ASSERT_NE(combo, nullptr) << name;
            QStringList shown;
            for (int i = 0; i < combo->count(); ++i)
                shown << combo->itemText(i);
            EXPECT_EQ(shown, items) << name << (again ? " again" : "");
        }
    }
}

// The form's menus; the window adds the workbench entries to File.
TEST_F(FormTest, Menus) {
    QStringList menus;
    for (QAction *entry : window.menuBar()->actions()) {
        QStringList names;
        for (QAction *a : entry->menu()->actions())
            names << (a->isSeparator() ? QString() : a->objectName());
        menus << entry->menu()->title() + ": " + names.join(' ');
    }
    EXPECT_EQ(menus, QStringList({"File:  actionExit", "View: actionConsole",
                                  "Tools: actionDirect_Register_Access actionUpdate_Firmware actionOTP",
                                  "Help: actionAbout"}));
}

TEST_F(FormTest, FormConnectsExitAndClearLog) {
    ui.registerlog->append("12:00:00 : Application started.");
    ASSERT_FALSE(ui.registerlog->toPlainText().isEmpty());
    ui.pushButton->click();
    EXPECT_TRUE(ui.registerlog->toPlainText().isEmpty());

    window.show();
    ASSERT_TRUE(window.isVisible());
    ui.actionExit->trigger();
    EXPECT_FALSE(window.isVisible());
}

} // namespace
