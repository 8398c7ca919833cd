#include <QCoreApplication>
#include <gtest/gtest.h>

// Network replies and timers need an event loop on the main thread.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
