// SPDX-License-Identifier: GPL-3.0-or-later
#include <QCoreApplication>

#include <gtest/gtest.h>

// Qt D-Bus delivers replies and signals through the application's event loop.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // A service these tests start and kill would otherwise leave the record of
    // its source in the machine's runtime directory, for the next one to show.
    qunsetenv("XDG_RUNTIME_DIR");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
