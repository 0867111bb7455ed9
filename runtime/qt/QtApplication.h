// The runtime on Qt: the platform queue of the user-interface thread is dispatched from Qt's event
// loop, errors are shown in a message box, and exceptions never escape into Qt.
#pragma once

#include "runtime/Application.h"

#include <QApplication>

class QCoreApplication;

/// Bridges the runtime to an existing application object, on its thread:
/// - makes that thread the user-interface thread (InitMainThread);
/// - dispatches its platform queue from Qt's event loop: whenever a message or sent call is queued
///   for it, one pass is scheduled in Qt's queue (several wake-ups before the pass make one pass);
///   a pass dispatches at most kPumpBatch messages and schedules the next pass when more are left,
///   so Qt's own events are served in between; a quit message ends Qt's event loop;
/// - installs the error display (a message box with the text, the application title as caption);
/// - forwards Application::SetTitle to QCoreApplication::setApplicationName.
/// Calling it again while installed does nothing. Removed again by RemoveRuntimeBridge or when the
/// application object is destroyed.
/// Thread: the thread of the application object.
void InstallRuntimeBridge(QCoreApplication* application);

/// Undoes InstallRuntimeBridge: stops the pump, removes the display and the title forwarding, and
/// ends the user-interface thread's role (ShutdownMainThread). Does nothing when not installed.
/// Thread: the thread of the application object.
void RemoveRuntimeBridge();

/// True while the bridge is installed. Thread: any.
bool RuntimeBridgeInstalled();

/// Most platform messages one pass of the pump dispatches.
constexpr int kPumpBatch = 64;

/// Runs deliver() and shows any exception it throws through Application's error display instead
/// of letting it go on (into Qt's event loop); returns deliver()'s result, or false after an
/// exception. The core of TQtApplication::notify (a template: it runs for every event).
template <class TDeliver> bool DeliverGuarded(TDeliver&& deliver)
{
    try {
        return deliver();
    } catch (...) {
        Application::HandleException();
        return false;
    }
}

/// The program's application object: a QApplication with the runtime bridge installed, whose
/// event delivery shows exceptions from event handlers instead of letting them end the program.
/// Thread: the user-interface thread (the one that creates it).
class TQtApplication : public QApplication
{
public:
    TQtApplication(int& argc, char** argv);
    ~TQtApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;
};
