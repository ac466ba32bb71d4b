// Test entry for non-visual tests: a core application so that timers,
// sockets and serial ports have an event loop to run on.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Downloads the tests make, here and in the programs they start, go to a
    // private upgrade history, never to the user's.
    const QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
