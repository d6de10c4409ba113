// Widget tests need a QApplication; listing the tests at build time must not
// create one (no display, no platform plugin then).
#include <QApplication>
#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0)
            listing = true;
    }
    testing::InitGoogleTest(&argc, argv);
    if (listing)
        return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
