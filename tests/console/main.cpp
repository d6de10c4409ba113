// Test entry for the session and console tests on the kit: the session's
// timers and the relay's sockets need an application object and its loop.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
