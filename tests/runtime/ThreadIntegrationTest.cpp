// Threads of the runtime against a user-interface thread that waits while pumping: calls handed
// over and their results and exceptions, self-freeing threads, exceptions that end a body, and
// error texts from other threads.
#include "runtime/Application.h"
#include "runtime/Exception.h"
#include "runtime/Thread.h"
#include "runtime/Wait.h"

#include <gmock/gmock.h>

#include <pthread.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

using testing::ElementsAre;
using testing::HasSubstr;

namespace
{

constexpr DWORD kBound = 10000; // ms; every wait here ends long before, unless something hangs

class TLambdaThread : public TThread
{
public:
    explicit TLambdaThread(std::function<void(TLambdaThread&)> body, std::function<void()> finished = {})
        : FBody(std::move(body)), FFinished(std::move(finished))
    {
    }
    ~TLambdaThread() override
    {
        // The body uses FBody: it has to end before the members go.
        if (!FreeOnTerminate()) {
            Terminate();
            WaitFor();
        }
    }

    using TThread::Synchronize;

protected:
    void Execute() override { FBody(*this); }
    void DoTerminate() override
    {
        if (FFinished)
            FFinished();
    }

private:
    std::function<void(TLambdaThread&)> FBody;
    std::function<void()> FFinished;
};

class TEvent
{
public:
    TEvent() : Handle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~TEvent() { CloseHandle(Handle); }
    void Set() { SetEvent(Handle); }
    HANDLE Handle;
};

// The test thread is the user-interface thread; error texts are recorded instead of shown.
class ThreadTest : public testing::Test
{
protected:
    void SetUp() override
    {
        InitMainThread();
        Application::SetExceptionDisplay([this](const std::string& text) {
            EXPECT_TRUE(IsMainThread());
            Shown.push_back(text);
        });
    }
    void TearDown() override
    {
        ProcessPlatformMessages();
        Application::SetExceptionDisplay(nullptr);
        ShutdownMainThread();
    }

    std::vector<std::string> Shown; // user-interface thread only
};

} // namespace

TEST_F(ThreadTest, SynchronizeRunsOnTheUserInterfaceThreadAndReturnsAfterItsEffect)
{
    DWORD ranOn = 0;
    int value = 0; // touched on both threads; Synchronize's hand-over orders the accesses
    int seenAfter = 0;
    TLambdaThread thread([&](TLambdaThread& self) {
        self.Synchronize([&] {
            ranOn = GetCurrentThreadId();
            value = 42;
        });
        seenAfter = value;
    });
    thread.Start();
    thread.WaitFor();

    EXPECT_EQ(ranOn, MainThreadId());
    EXPECT_EQ(seenAfter, 42);
    EXPECT_NE(thread.ThreadId(), MainThreadId());
    EXPECT_TRUE(thread.Finished());
}

TEST_F(ThreadTest, ExceptionOfASynchronizedCallIsThrownAgainInTheCaller)
{
    struct TCase {
        const char* Name;
        std::function<void()> Throw;
        std::string Expected;
    };
    const std::vector<TCase> cases = {
        {"runtime exception", [] { throw EInOutError("Port gone", 2); }, "EInOutError Port gone 2"},
        {"standard exception", [] { throw std::runtime_error("plain"); }, "std plain"},
        {"anything else", [] { throw 7; }, "int 7"},
    };
    for (const TCase& c : cases) {
        std::string caught;
        TLambdaThread thread([&](TLambdaThread& self) {
            try {
                self.Synchronize(c.Throw);
                caught = "nothing";
            } catch (const EInOutError& error) {
                caught = "EInOutError " + error.Message() + " " + std::to_string(error.ErrorCode);
            } catch (const std::exception& error) {
                caught = std::string("std ") + error.what();
            } catch (int value) {
                caught = "int " + std::to_string(value);
            }
        });
        thread.Start();
        thread.WaitFor();
        EXPECT_EQ(caught, c.Expected) << c.Name;
    }
    EXPECT_TRUE(Shown.empty()) << "a caught exception must not reach the error display";
}

TEST_F(ThreadTest, SynchronizeWithoutAUserInterfaceThreadFailsInsteadOfWaitingForEver)
{
    ShutdownMainThread();
    std::string caught;
    bool ran = false;
    TLambdaThread thread([&](TLambdaThread& self) {
        try {
            self.Synchronize([&] { ran = true; });
        } catch (const Exception& error) {
            caught = error.Message();
        }
    });
    thread.Start();
    thread.WaitFor();
    EXPECT_FALSE(ran);
    EXPECT_THAT(caught, HasSubstr("user-interface thread"));
    InitMainThread();
}

TEST_F(ThreadTest, PumpingWaitsKeepCallsFlowingFromThreadsThatWaitForTheUserInterfaceThread)
{
    // Several self-freeing threads hand calls over while the user-interface thread waits for them
    // to count down, as an owner waits for its threads to leave; a wait that does not pump would
    // deadlock on the first call.
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    int counter = 0; // user-interface thread only
    std::atomic<int> active{kThreads};
    HANDLE left = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < kThreads; ++i) {
        auto* thread = new TLambdaThread([&](TLambdaThread& self) {
            for (int call = 0; call < kCalls; ++call)
                self.Synchronize([&] { ++counter; });
            active.fetch_sub(1);
            SetEvent(left);
        });
        thread->SetFreeOnTerminate(true);
        thread->Start();
    }

    EXPECT_TRUE(WaitUntilPumping([&] { return active.load() == 0; }, left, kBound));
    EXPECT_EQ(counter, kThreads * kCalls);
    CloseHandle(left);
}

TEST_F(ThreadTest, BodyEndsWithItsBookkeepingWhateverWayItEnds)
{
    struct TCase {
        bool Throws;
        bool FreeOnTerminate;
    };
    for (const TCase c : {TCase{false, true}, TCase{true, false}, TCase{true, true}}) {
        SCOPED_TRACE(testing::Message() << "throws " << c.Throws << ", frees itself " << c.FreeOnTerminate);
        Shown.clear();
        TEvent deleted;
        bool bookkeeping = false;
        struct TTracked : TLambdaThread {
            using TLambdaThread::TLambdaThread;
            ~TTracked() override { Deleted->Set(); }
            TEvent* Deleted = nullptr;
        };
        auto* thread = new TTracked(
            [&](TLambdaThread&) {
                if (c.Throws)
                    throw Exception("Line event wait failed");
            },
            [&] { bookkeeping = true; });
        thread->Deleted = &deleted;
        thread->SetFreeOnTerminate(c.FreeOnTerminate);
        thread->Start();
        if (c.FreeOnTerminate) {
            ASSERT_EQ(WaitForObjectPumping(deleted.Handle, kBound), WAIT_OBJECT_0);
        } else {
            thread->WaitFor();
            EXPECT_TRUE(thread->Finished());
            EXPECT_THROW(std::rethrow_exception(thread->FatalException()), Exception);
            delete thread;
        }
        EXPECT_TRUE(bookkeeping);
        // The text is posted before the bookkeeping; it is shown once the queue is dispatched.
        ProcessPlatformMessages();
        if (c.Throws)
            EXPECT_THAT(Shown, ElementsAre("Line event wait failed"));
        else
            EXPECT_TRUE(Shown.empty());
    }
}

TEST_F(ThreadTest, DeletingARunningThreadThatHandsCallsOverEndsIt)
{
    std::atomic<int> calls{0};
    TEvent busy;
    auto* thread = new TLambdaThread([&](TLambdaThread& self) {
        while (!self.Terminated()) {
            self.Synchronize([&] { calls.fetch_add(1); });
            busy.Set();
        }
    });
    thread->Start();
    ASSERT_EQ(WaitForObjectPumping(busy.Handle, kBound), WAIT_OBJECT_0);
    // The thread is most likely inside a hand-over now: the delete must pump to let it end.
    delete thread;
    EXPECT_GT(calls.load(), 0);
}

TEST_F(ThreadTest, ErrorTextsFromOtherThreadsDoNotWaitAndAreShownInOrderUpToABound)
{
    // 40 texts while the user-interface thread does not look at its queue: the reporting thread
    // must not wait for it (the plain wait below would time out), and the queue is bounded.
    TEvent reported;
    TLambdaThread thread([&](TLambdaThread&) {
        for (int i = 0; i < 40; ++i)
            Application::ShowErrorText("error " + std::to_string(i));
        reported.Set();
    });
    thread.Start();
    ASSERT_EQ(WaitForSingleObject(reported.Handle, kBound), WAIT_OBJECT_0);
    EXPECT_TRUE(Shown.empty());

    ProcessPlatformMessages();

    ASSERT_EQ(Shown.size(), 33u);
    for (size_t i = 0; i < 32; ++i)
        EXPECT_EQ(Shown[i], "error " + std::to_string(i));
    EXPECT_EQ(Shown.back(), "8 further errors were not shown.");
    thread.WaitFor();
}

TEST_F(ThreadTest, AnErrorWhileADisplayIsShowingFollowsItInsteadOfOpeningInsideIt)
{
    int depth = 0;
    int deepest = 0;
    Application::SetExceptionDisplay([&](const std::string& text) {
        ++depth;
        deepest = std::max(deepest, depth);
        Shown.push_back(text);
        // As when an event handler fails while the message box runs its own event loop.
        if (text == "first")
            Application::ShowErrorText("second");
        --depth;
    });
    Application::ShowErrorText("first");
    EXPECT_THAT(Shown, ElementsAre("first", "second"));
    EXPECT_EQ(deepest, 1);
}

TEST_F(ThreadTest, PumpingWaitKeepsAQuitRequestForTheMessageLoop)
{
    PostQuitMessage(3);
    TEvent never;
    EXPECT_EQ(WaitForObjectPumping(never.Handle, 30), WAIT_TIMEOUT);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(ThreadTest, NameAndPriorityNeverFailAndAreKept)
{
    struct TCase {
        const char* Name;
        const char* Expected;
        int Priority;
        int Kept;
    };
    const TCase cases[] = {
        {"comthread", "comthread", tpNormal, tpNormal},
        {"a-name-longer-than-fifteen", "a-name-longer-t", tpIdle, tpIdle},
        {"dispthread", "dispthread", 99, tpTimeCritical},
    };
    for (const TCase& c : cases) {
        char name[32] = {};
        TLambdaThread thread([&](TLambdaThread&) { pthread_getname_np(pthread_self(), name, sizeof name); });
        thread.SetName(c.Name);
        thread.SetPriority(c.Priority);
        thread.Start();
        thread.SetPriority(tpNormal);
        thread.WaitFor();
        EXPECT_STREQ(name, c.Expected);
        thread.SetPriority(c.Priority);
        EXPECT_EQ(thread.Priority(), c.Kept) << c.Name;
    }
}
