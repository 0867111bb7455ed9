// Main of the GUI tests: one QApplication on the offscreen platform for the whole test program.
#include <QApplication>

#include <gmock/gmock.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    // The GUI tests never need a display; a developer may still override the platform.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
