// Window classes, hidden windows and the message queue of one thread: creation and destruction,
// window values, posting and filtering, quitting, and the limits of a queue.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace
{

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;

// What the procedure saw, reached through the window's user data (as a real window would).
struct Recorder {
    std::vector<std::pair<UINT, WPARAM>> seen;
    LPVOID createParameter = nullptr;
};

LRESULT RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        auto* recorder = static_cast<Recorder*>(create->lpCreateParams);
        if (!recorder)
            return -1; // refuses to be created
        recorder->createParameter = recorder;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(recorder));
        return 0;
    }
    auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (recorder)
        recorder->seen.emplace_back(message, wParam);
    if (message == kPing)
        return static_cast<LRESULT>(wParam * 2);
    return DefWindowProcA(window, message, wParam, lParam);
}

constexpr const char* kClass = "SyncTestWindow";

class Windows : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = RecordingProcedure;
        windowClass.cbWndExtra = 4;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClass;
        ASSERT_NE(RegisterClassA(&windowClass), 0);
    }
    void TearDown() override
    {
        for (HWND w : made) {
            if (IsWindow(w)) {
                SetWindowLongPtrA(w, GWLP_USERDATA, 0); // its recorder has gone with the test body
                DestroyWindow(w);
            }
        }
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    HWND Make(Recorder& recorder)
    {
        HWND w = CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleA(nullptr), &recorder);
        made.push_back(w);
        return w;
    }
    std::vector<HWND> made;
};

TEST_F(Windows, CreationRunsWmCreateWhichMayRefuse)
{
    Recorder recorder;
    HWND w = Make(recorder);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(recorder.createParameter, &recorder);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_EQ(CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
}

TEST_F(Windows, DestroyedWindowIsGoneForEveryCall)
{
    Recorder recorder;
    HWND w = Make(recorder);
    ASSERT_TRUE(PostMessageA(w, kPong, 1, 0));
    ASSERT_TRUE(PostMessageA(nullptr, kPong, 2, 0)); // a thread message survives the window
    ASSERT_TRUE(DestroyWindow(w));
    ASSERT_EQ(recorder.seen.size(), 1u);
    EXPECT_EQ(recorder.seen[0].first, WM_DESTROY);
    EXPECT_FALSE(IsWindow(w));

    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, nullptr) << "the window's message was dropped";
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SendMessageA(w, kPing, 1, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    DWORD_PTR result = 99;
    EXPECT_EQ(SendMessageTimeoutA(w, kPing, 1, 0, SMTO_BLOCK, 100, &result), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(result, 99u) << "a failed send leaves the result alone";
    EXPECT_FALSE(PostMessageA(w, kPong, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(DestroyWindow(w));
    EXPECT_EQ(GetWindowLongA(w, GWL_USERDATA), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

    // A window made afterwards never gets the old handle, so stale posts cannot reach it.
    Recorder other;
    EXPECT_NE(Make(other), w);
}

TEST_F(Windows, SendToOwnWindowCallsTheProcedureDirectly)
{
    Recorder recorder;
    HWND w = Make(recorder);
    EXPECT_EQ(SendMessageA(w, kPing, 21, 0), 42);
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutA(w, kPing, 5, 0, SMTO_BLOCK, 0, &result), 0);
    EXPECT_EQ(result, 10u);
    EXPECT_EQ(recorder.seen.size(), 2u);
}

TEST_F(Windows, WindowValues)
{
    Recorder recorder;
    HWND w = Make(recorder);
    // Extra bytes: 4 of them, so only offset 0 holds a LONG, and no pointer fits.
    EXPECT_EQ(SetWindowLongA(w, 0, 0x12345678), 0);
    EXPECT_EQ(GetWindowLongA(w, 0), 0x12345678);
    EXPECT_EQ(SetWindowLongA(w, 0, -5), 0x12345678) << "returns the previous value";
    for (int bad : {1, 4, -1, -100}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(GetWindowLongA(w, bad), 0) << bad;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX) << bad;
    }
    EXPECT_EQ(GetWindowLongPtrA(w, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX) << "8 bytes do not fit in 4";
    // User data: pointer-sized through the Ptr calls.
    const auto pointer = reinterpret_cast<LONG_PTR>(&recorder);
    EXPECT_EQ(GetWindowLongPtrA(w, GWLP_USERDATA), pointer);
    EXPECT_EQ(SetWindowLongPtrA(w, GWLP_WNDPROC, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "a window without a procedure";
    EXPECT_EQ(SendMessageA(w, kPing, 1, 0), 2) << "the procedure is still in place";
}

TEST_F(Windows, PeekFiltersByWindowAndRange)
{
    Recorder ra, rb;
    HWND a = Make(ra);
    HWND b = Make(rb);
    const HWND threadOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
    struct {
        const char* name;
        HWND window;
        UINT min, max;
        std::vector<WPARAM> expected; // in queue order
    } cases[] = {
        {"everything", nullptr, 0, 0, {1, 2, 3, 4}},   {"window a", a, 0, 0, {1, 3}},
        {"thread messages", threadOnly, 0, 0, {4}},    {"range kPong..kPong", nullptr, kPong, kPong, {2, 3}},
        {"window a, kPong", a, kPong, kPong + 5, {3}},
    };
    for (const auto& c : cases) {
        PostMessageA(a, kPong - 1, 1, 0);
        PostMessageA(b, kPong, 2, 0);
        PostMessageA(a, kPong, 3, 0);
        PostMessageA(nullptr, kPong + 10, 4, 0);
        MSG msg{};
        ASSERT_TRUE(PeekMessageA(&msg, c.window, c.min, c.max, PM_NOREMOVE)) << c.name;
        EXPECT_EQ(msg.wParam, c.expected.front()) << c.name << ": PM_NOREMOVE leaves it";
        std::vector<WPARAM> got;
        while (PeekMessageA(&msg, c.window, c.min, c.max, PM_REMOVE))
            got.push_back(msg.wParam);
        EXPECT_EQ(got, c.expected) << c.name;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
}

TEST_F(Windows, DispatchRunsOnlyLiveWindowsAndDefaultsAnswer)
{
    Recorder recorder;
    HWND w = Make(recorder);
    PostMessageA(w, kPing, 4, 0);
    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_FALSE(TranslateMessage(&msg));
    EXPECT_EQ(DispatchMessageA(&msg), 8);
    EXPECT_EQ(DefWindowProcA(w, WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_EQ(DefWindowProcA(w, kPing, 0, 0), 0);
    EXPECT_EQ(SendMessageA(w, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(w)) << "the default answer to WM_CLOSE destroys the window";
    EXPECT_EQ(DispatchMessageA(&msg), 0) << "a stale message of a gone window runs nothing";
}

TEST_F(Windows, QuitComesAfterPostedMessagesAndOnce)
{
    PostMessageA(nullptr, kPong, 1, 0);
    PostQuitMessage(7);
    PostMessageA(nullptr, kPong, 2, 0);
    MSG msg{};
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetMessageA(&msg, reinterpret_cast<HWND>(static_cast<intptr_t>(0x5000)), 0, 0), -1);
}

TEST_F(Windows, AQueueThatIsNotEmptiedRefusesMorePosts)
{
    int accepted = 0;
    while (PostMessageA(nullptr, kPong, 0, 0) && accepted < 20'000)
        ++accepted;
    EXPECT_EQ(accepted, 10'000);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(PostMessageA(nullptr, kPong, 0, 0)) << "room again once one is taken";
}

TEST_F(Windows, QueueInputEndsMsgWaitAndHookSeesIt)
{
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
    int woken = 0;
    platform::SetQueueWakeHook([&] { ++woken; });
    EXPECT_FALSE(platform::HasQueuedMessages());
    PostMessageA(nullptr, kPong, 0, 0);
    EXPECT_EQ(woken, 1);
    EXPECT_TRUE(platform::HasQueuedMessages());
    // Input already waiting counts, not only input that arrives during the wait.
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), WAIT_OBJECT_0);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, FALSE, 0, QS_SENDMESSAGE), WAIT_TIMEOUT)
        << "a posted message is not a sent call";
    SetEvent(never);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0) << "objects first";
    platform::SetQueueWakeHook({});
    PostMessageA(nullptr, kPong, 0, 0);
    EXPECT_EQ(woken, 1) << "a removed hook is not called";
    CloseHandle(never);
}

} // namespace
