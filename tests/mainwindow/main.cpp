// Test entry for the main window area. Widget tests need a QApplication, but
// listing the tests (test discovery at build time) must not create one: there
// may be no display and no platform plugin then.
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
