// Ending the program from outside (a logout, Ctrl+C in the terminal that started it, kill) as if the
// window had been closed, so the port is handed back and its lock file removed.
#pragma once

#include <QObject>

class QSocketNotifier;
class QWidget;

/// While it lives, SIGTERM, SIGINT and SIGHUP close `window` from its own thread instead of ending
/// the process where it stands (which would leave the port's lock file behind). The signal handler
/// only writes a byte to a socket that the user-interface thread watches. Create it on the
/// user-interface thread, at most one at a time; the destructor puts the former handlers back.
class TExitSignals : public QObject
{
    Q_OBJECT

public:
    explicit TExitSignals(QWidget* window);
    ~TExitSignals() override;
    TExitSignals(const TExitSignals&) = delete;
    TExitSignals& operator=(const TExitSignals&) = delete;

private:
    void SignalArrived();

    QWidget* FWindow;
    QSocketNotifier* FNotifier = nullptr;
};
