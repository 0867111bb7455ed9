// The runtime's bridge to Qt: the user-interface thread's platform queue is dispatched from Qt's
// event loop, and errors reach the user in a message box.
#include "runtime/qt/QtApplication.h"

#include "platform/win32.h"
#include "runtime/Runtime_p.h"
#include "runtime/Thread.h"

#include <QMessageBox>
#include <QMetaObject>

#include <atomic>
#include <memory>
#include <mutex>

namespace
{

// What the wake hook reaches. The hook runs on whatever thread posts or sends, and may still run
// briefly after it has been removed, so it holds this by shared pointer and finds the pump gone.
struct TWakeTarget {
    // Guards Pump. The hook takes it on whichever thread posts or sends, under whatever locks
    // that thread holds (a gone device is posted under the dispatcher's GoneLock); under it only
    // Qt's own event queue (invokeMethod).
    std::mutex Lock;
    QObject* Pump = nullptr;            // the bridge object, null once it is going
    std::atomic<bool> Scheduled{false}; // a pump pass is in Qt's queue and has not begun
};

class TRuntimeBridge;
TRuntimeBridge* gBridge = nullptr; // user-interface thread only
std::atomic<bool> gInstalled{false};

void SchedulePump(TWakeTarget& target);

// Lives as a child of the application object, so the bridge goes at the latest with it.
class TRuntimeBridge : public QObject
{
public:
    explicit TRuntimeBridge(QCoreApplication* application) : QObject(application) {}
    ~TRuntimeBridge() override;

    void Install();
    /// One pass over the platform queue, run from Qt's event loop.
    void Pump();

    std::shared_ptr<TWakeTarget> Wake = std::make_shared<TWakeTarget>();
};

void SchedulePump(TWakeTarget& target)
{
    // Many wake-ups before the pass runs make one pass: a flood of messages must not flood Qt.
    if (target.Scheduled.exchange(true))
        return;
    std::lock_guard lock(target.Lock);
    if (auto* bridge = static_cast<TRuntimeBridge*>(target.Pump))
        QMetaObject::invokeMethod(
            bridge, [bridge] { bridge->Pump(); }, Qt::QueuedConnection);
}

void ShowErrorBox(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(Application::Title()),
                    QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

void TRuntimeBridge::Install()
{
    InitMainThread();
    {
        std::lock_guard lock(Wake->Lock);
        Wake->Pump = this;
    }
    platform::SetQueueWakeHook([wake = Wake] { SchedulePump(*wake); });
    if (qobject_cast<QApplication*>(parent()))
        Application::SetExceptionDisplay(ShowErrorBox);
    // Only the application name: a display name would be appended by the window system to every
    // window caption, and the main window's caption is fixed to the letter.
    Application::SetTitleHandler([](const std::string& title) {
        QCoreApplication::setApplicationName(QString::fromStdString(title));
    });
    const std::string title = Application::Title();
    if (!title.empty())
        QCoreApplication::setApplicationName(QString::fromStdString(title));
    // Whatever was queued before the hook existed woke nobody.
    SchedulePump(*Wake);
}

TRuntimeBridge::~TRuntimeBridge()
{
    platform::SetQueueWakeHook({});
    {
        std::lock_guard lock(Wake->Lock);
        Wake->Pump = nullptr;
    }
    Application::SetTitleHandler(nullptr);
    Application::SetExceptionDisplay(nullptr);
    ShutdownMainThread();
    if (gBridge == this)
        gBridge = nullptr;
    gInstalled.store(false);
}

void TRuntimeBridge::Pump()
{
    // Cleared first: input that comes during this pass schedules the next one.
    Wake->Scheduled.store(false);
    for (int count = 0; count < kPumpBatch; ++count) {
        bool quit = false;
        int exitCode = 0;
        if (!runtime::DispatchOneMessage(quit, exitCode))
            return;
        if (quit)
            QCoreApplication::exit(exitCode);
    }
    // Stopped at the bound: let Qt serve its own events, then go on.
    if (platform::HasQueuedMessages())
        SchedulePump(*Wake);
}

} // namespace

void InstallRuntimeBridge(QCoreApplication* application)
{
    if (gBridge || !application)
        return;
    auto* bridge = new TRuntimeBridge(application);
    try {
        bridge->Install();
    } catch (...) {
        delete bridge;
        throw;
    }
    gBridge = bridge;
    gInstalled.store(true);
}

void RemoveRuntimeBridge() { delete gBridge; }

bool RuntimeBridgeInstalled() { return gInstalled.load(); }

TQtApplication::TQtApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    InstallRuntimeBridge(this);
}

TQtApplication::~TQtApplication() { RemoveRuntimeBridge(); }

bool TQtApplication::notify(QObject* receiver, QEvent* event)
{
    return DeliverGuarded([&] { return QApplication::notify(receiver, event); });
}
