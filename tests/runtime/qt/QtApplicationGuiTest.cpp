// The runtime bridge on Qt's event loop: calls handed over by other threads, platform messages
// posted from other threads, floods that must not starve Qt, and exceptions out of event handlers.
#include "runtime/qt/QtApplication.h"

#include "platform/win32.h"
#include "runtime/Application.h"
#include "runtime/Exception.h"
#include "runtime/Thread.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <gmock/gmock.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using testing::ElementsAre;

namespace
{

constexpr int kBoundMs = 10000; // every loop here ends long before, unless something hangs

// Runs Qt's event loop until quit() or the bound; tells which.
class TBoundedLoop
{
public:
    TBoundedLoop()
    {
        QTimer::singleShot(kBoundMs, &FLoop, [this] {
            FTimedOut = true;
            FLoop.quit();
        });
    }
    /// @return false when the bound ended it.
    bool Run()
    {
        FLoop.exec();
        return !FTimedOut;
    }
    /// Thread: any.
    void Quit() { QMetaObject::invokeMethod(&FLoop, "quit", Qt::QueuedConnection); }

private:
    QEventLoop FLoop;
    bool FTimedOut = false;
};

// A hidden platform window of the user-interface thread that records what it is sent.
class TRecordingWindow
{
public:
    TRecordingWindow()
    {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.lpszClassName = "LintakerTestRecorder";
        RegisterClassA(&windowClass);
        Handle = CreateWindowExA(0, "LintakerTestRecorder", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        SetWindowLongPtrA(Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~TRecordingWindow() { DestroyWindow(Handle); }

    HWND Handle;
    std::vector<WPARAM> Received;
    std::function<void()> OnMessage;

private:
    static LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message != WM_APP)
            return DefWindowProcA(window, message, wParam, lParam);
        auto* self = reinterpret_cast<TRecordingWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        self->Received.push_back(wParam);
        if (self->OnMessage)
            self->OnMessage();
        return 0;
    }
};

class TThrowingObject : public QObject
{
public:
    std::function<void()> Throw;
    bool event(QEvent*) override
    {
        Throw();
        return true;
    }
};

class RuntimeBridge : public testing::Test
{
protected:
    void SetUp() override
    {
        InstallRuntimeBridge(qApp);
        Application::SetExceptionDisplay([this](const std::string& text) {
            EXPECT_TRUE(IsMainThread());
            Shown.push_back(text);
        });
    }
    void TearDown() override { RemoveRuntimeBridge(); }

    std::vector<std::string> Shown;
};

} // namespace

TEST_F(RuntimeBridge, CallOfAnotherThreadRunsFromQtsEventLoop)
{
    TBoundedLoop loop;
    bool ranOnQtThread = false;
    std::thread worker([&] {
        TThread::Synchronize(nullptr, [&] { ranOnQtThread = QThread::currentThread() == qApp->thread(); });
        loop.Quit();
    });
    EXPECT_TRUE(loop.Run());
    worker.join();
    EXPECT_TRUE(ranOnQtThread);
}

TEST_F(RuntimeBridge, FloodPostedByAnotherThreadIsDispatchedInOrderAndLetsQtEventsThrough)
{
    constexpr size_t kFlood = 5000;
    TRecordingWindow window;
    TBoundedLoop loop;
    window.OnMessage = [&] {
        if (window.Received.size() == kFlood)
            loop.Quit();
    };
    std::thread poster([&] {
        for (WPARAM i = 0; i < kFlood; ++i)
            PostMessageA(window.Handle, WM_APP, i, 0);
    });
    poster.join();
    // Queued behind the first pump pass: it must run long before the flood is through.
    size_t dispatchedWhenQtRan = kFlood;
    QMetaObject::invokeMethod(
        qApp, [&] { dispatchedWhenQtRan = window.Received.size(); }, Qt::QueuedConnection);

    EXPECT_TRUE(loop.Run());
    ASSERT_EQ(window.Received.size(), kFlood);
    for (WPARAM i = 0; i < kFlood; ++i)
        ASSERT_EQ(window.Received[i], i);
    EXPECT_LE(dispatchedWhenQtRan, static_cast<size_t>(2 * kPumpBatch));
}

TEST_F(RuntimeBridge, ErrorOfAnotherThreadIsShownFromQtsEventLoopWithoutBlockingIt)
{
    TBoundedLoop loop;
    Application::SetExceptionDisplay([&](const std::string& text) {
        EXPECT_TRUE(IsMainThread());
        Shown.push_back(text);
        loop.Quit();
    });
    std::thread worker([] { Application::ShowException(EInOutError("Port COM3 vanished", 1167)); });
    worker.join(); // returns although the user-interface thread is not looking yet
    EXPECT_TRUE(loop.Run());
    EXPECT_THAT(Shown, ElementsAre("Port COM3 vanished"));
}

TEST_F(RuntimeBridge, ExceptionsOutOfEventHandlersAreShownAndGoNoFurther)
{
    struct TCase {
        const char* Name;
        std::function<void()> Throw;
        const char* Expected;
    };
    const std::vector<TCase> cases = {
        {"runtime exception", [] { throw Exception("No port selected"); }, "No port selected"},
        {"standard exception", [] { throw std::out_of_range("index 7"); }, "index 7"},
        {"anything else", [] { throw 42; }, "Unknown exception"},
    };
    for (const TCase& c : cases) {
        Shown.clear();
        TThrowingObject receiver;
        receiver.Throw = c.Throw;
        QEvent event(QEvent::User);
        bool delivered = true;
        EXPECT_NO_THROW(delivered = DeliverGuarded([&] { return qApp->notify(&receiver, &event); }))
            << c.Name;
        EXPECT_FALSE(delivered) << c.Name;
        EXPECT_THAT(Shown, ElementsAre(c.Expected)) << c.Name;
    }
}

TEST_F(RuntimeBridge, StandardErrorDisplayIsAMessageBoxWithTheTitle)
{
    // The bridge's own display, not the recorder of the fixture.
    RemoveRuntimeBridge();
    InstallRuntimeBridge(qApp);
    Application::SetTitle("Lintaker");
    EXPECT_EQ(QCoreApplication::applicationName(), "Lintaker");

    QString boxTitle;
    QString boxText;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxTitle = box->windowTitle();
            boxText = box->text();
            box->done(QMessageBox::Ok);
        }
    });
    closer.start();
    QTimer::singleShot(kBoundMs, &closer, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    Application::ShowErrorText("Port is not open");
    EXPECT_EQ(boxTitle, "Lintaker");
    EXPECT_EQ(boxText, "Port is not open");
}

TEST_F(RuntimeBridge, QuitMessageEndsTheProgramsEventLoopWithItsCode)
{
    // The program's own loop, QCoreApplication::exec: ending it is what a quit message means, and
    // it leaves the thread's later event loops working again.
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    bound.start(kBoundMs);
    PostQuitMessage(5);
    EXPECT_EQ(QCoreApplication::exec(), 5);
}
