#include "EdsTestSession.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// The bus and the folders are set up before anything talks to D-Bus, and stopped at the end.
int main(int argc, char** argv) {
    brivane::testing::EdsTestSession::prepare();
    int result = 1;
    {
        QCoreApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    brivane::testing::EdsTestSession::finish();
    return result;
}
