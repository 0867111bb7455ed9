// Program start: the application object, its title, the main window, and the message loop that
// runs until the window closes.
#include "app/ExitSignals.h"
#include "app/FrmMain.h"
#include "runtime/Application.h"
#include "runtime/qt/QtApplication.h"

int main(int argc, char** argv)
{
    TQtApplication application(argc, argv);
    // The title names the program to the desktop (task bar, window class); it is not appended
    // to the window's own caption.
    Application::SetTitle("Lintaker");
    TFormMain FormMain;
    TExitSignals exitSignals(&FormMain);
    FormMain.show();
    return application.exec();
}
