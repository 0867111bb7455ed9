// Program start: the application object, its title, the main window, and the message loop that
// runs until the window closes.
#include "app/ExitSignals.h"
#include "app/FrmMain.h"
#include "runtime/Application.h"
#include "runtime/qt/QtApplication.h"

#include <QGuiApplication>

int main(int argc, char** argv)
{
    TQtApplication application(argc, argv);
    // The title names the program to the desktop (task bar, window class); it is not appended
    // to the window's own caption.
    Application::SetTitle("Lintaker");
    // The desktop ties the window to its menu entry, and so to the program's icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("lintaker"));
    TFormMain FormMain;
    TExitSignals exitSignals(&FormMain);
    FormMain.show();
    return application.exec();
}
