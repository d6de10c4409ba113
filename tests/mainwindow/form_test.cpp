// The main window's form on its own: the item lists that decide register
// values and the form's own connections. The bound controls are counted and
// walked by the window test.
#include "form.h"

#include <gtest/gtest.h>

namespace {

class FormTest : public testing::Test {
  protected:
    FormTest() { ui.setupUi(&window); }

    QMainWindow window;
    Ui::MainWindow ui;
};

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
