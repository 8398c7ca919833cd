#include <QCoreApplication>
#include <gtest/gtest.h>

// The service, the receiver and the keyring need an event loop on the main thread.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
