// main() for GoogleTest programs whose code needs a Qt event loop's application object (hand-
// overs to the main thread, queued calls).
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
