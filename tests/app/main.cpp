// Runs tests of the window inside a QApplication on Qt's offscreen platform, in the
// program's default font. Shared by the window, end-to-end and bad-input test programs.
#include "frmBrevant.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setFont(frmBrevant::defaultFont());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
