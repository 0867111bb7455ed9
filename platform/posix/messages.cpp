// Per-thread message queues, window classes and hidden windows, and calls sent between threads.
// All their state is guarded by gWaitLock (waitable.h), so a queue wakes a thread sleeping in
// MsgWaitForMultipleObjects without a second lock; window procedures and the wake hook always run
// with the lock released.
#include "platform/posix/waitable.h"
#include "platform/win32.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxPostedMessages = 10000;
constexpr auto kHungAfter = std::chrono::seconds(5);
constexpr int kMaxWindowExtraBytes = 1024;
constexpr DWORD kPostedInput = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE | QS_TIMER;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

// A call sent from one thread to a window of another. Shared between the sender and the
// receiving queue, so that a receiver finishing after the sender has given up writes here and
// never into the sender's stack.
struct SentCall {
    enum class State { Queued, Running, Done, Failed };

    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    State state = State::Queued;
    LRESULT result = 0;
    DWORD error = ERROR_SUCCESS;
    std::condition_variable* senderWakeup = nullptr; // set only while the sender still waits
};

struct ThreadQueue {
    DWORD threadId = 0;
    std::condition_variable* wakeup = nullptr; // the owning thread's ThreadWakeup()
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentCall>> sent; // oldest first
    bool quitPending = false;
    int quitCode = 0;
    WaitBlock* waiter = nullptr; // the thread's MsgWaitForMultipleObjects, while it sleeps there
    int queueWaits = 0;          // > 0 while it sleeps in GetMessageA or a send, wanting queue input
    bool closed = false;         // the thread has ended
    Clock::time_point lastLooked = Clock::now();
    std::shared_ptr<const std::function<void()>> hook;
};

struct WindowClass {
    std::string name;
    ATOM atom = 0;
    WNDPROC procedure = nullptr;
    int extraBytes = 0;
    int windows = 0;
};

struct Window {
    std::shared_ptr<ThreadQueue> owner;
    std::shared_ptr<WindowClass> windowClass;
    WNDPROC procedure = nullptr;
    LONG_PTR userData = 0;
    std::vector<BYTE> extra;
    bool destroying = false;
};

// Everything here guarded by gWaitLock. Never destroyed: threads may still end (and clean up
// their queues) while the process runs its static destructors.
struct MessageState {
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
    std::unordered_map<HWND, Window> windows;
    std::map<std::string, std::shared_ptr<WindowClass>> classes; // by lower-case name
    uintptr_t lastWindow = 0x10000;
    ATOM lastAtom = 0xC000;
};

MessageState& State()
{
    static auto* state = new MessageState();
    return *state;
}

void RemoveWindowLocked(HWND window);

// Ends the queue when its thread ends: its windows go, waiting senders are told at once.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;

    ~QueueHolder()
    {
        if (!queue)
            return;
        std::lock_guard guard(gWaitLock);
        queue->closed = true;
        MessageState& state = State();
        auto found = state.queues.find(queue->threadId);
        if (found != state.queues.end() && found->second == queue)
            state.queues.erase(found);
        std::vector<HWND> owned;
        for (auto& [handle, window] : state.windows)
            if (window.owner == queue)
                owned.push_back(handle);
        for (HWND handle : owned)
            RemoveWindowLocked(handle);
        for (auto& call : queue->sent) {
            call->state = SentCall::State::Failed;
            call->error = ERROR_INVALID_WINDOW_HANDLE;
            if (call->senderWakeup)
                call->senderWakeup->notify_one();
        }
        queue->sent.clear();
        queue->posted.clear();
        queue->hook.reset();
    }
};

QueueHolder& Holder()
{
    // The wake-up variable first, so that it is destroyed after the queue that points to it.
    ThreadWakeup();
    thread_local QueueHolder holder;
    return holder;
}

ThreadQueue& CurrentQueueLocked()
{
    QueueHolder& holder = Holder();
    if (!holder.queue) {
        auto queue = std::make_shared<ThreadQueue>();
        queue->threadId = GetCurrentThreadId();
        queue->wakeup = &ThreadWakeup();
        State().queues[queue->threadId] = queue;
        holder.queue = std::move(queue);
    }
    return *holder.queue;
}

Window* FindWindowLocked(HWND handle)
{
    auto found = State().windows.find(handle);
    return found == State().windows.end() ? nullptr : &found->second;
}

std::shared_ptr<WindowClass> FindClassLocked(LPCSTR name)
{
    MessageState& state = State();
    if (reinterpret_cast<uintptr_t>(name) < 0x10000) { // an atom in place of the name
        auto atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
        for (auto& [key, windowClass] : state.classes)
            if (windowClass->atom == atom)
                return windowClass;
        return nullptr;
    }
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    auto found = state.classes.find(key);
    return found == state.classes.end() ? nullptr : found->second;
}

void FinishCallLocked(SentCall& call, SentCall::State state, LRESULT result, DWORD error)
{
    call.state = state;
    call.result = result;
    call.error = error;
    if (call.senderWakeup)
        call.senderWakeup->notify_one();
}

void RemoveWindowLocked(HWND handle)
{
    auto found = State().windows.find(handle);
    if (found == State().windows.end())
        return;
    ThreadQueue& owner = *found->second.owner;
    found->second.windowClass->windows -= 1;
    State().windows.erase(found);
    // What was meant for the window must not reach a later window, nor keep a sender waiting.
    auto& posted = owner.posted;
    posted.erase(std::remove_if(posted.begin(), posted.end(), [&](const MSG& m) { return m.hwnd == handle; }),
                 posted.end());
    auto& sent = owner.sent;
    for (auto& call : sent)
        if (call->window == handle)
            FinishCallLocked(*call, SentCall::State::Failed, 0, ERROR_INVALID_WINDOW_HANDLE);
    sent.erase(
        std::remove_if(sent.begin(), sent.end(), [&](const auto& call) { return call->window == handle; }),
        sent.end());
}

// Records new input of the given kind in the queue and wakes its thread if it sleeps for it.
// @return the hook to call once the lock is released.
std::shared_ptr<const std::function<void()>> AddInputLocked(ThreadQueue& queue, DWORD kind)
{
    if (queue.waiter && (queue.waiter->wakeMask & kind) != 0)
        CompleteWaitLocked(*queue.waiter, WAIT_OBJECT_0 + queue.waiter->count);
    else if (queue.queueWaits > 0)
        queue.wakeup->notify_one();
    return queue.hook;
}

void CallHook(const std::shared_ptr<const std::function<void()>>& hook)
{
    if (hook && *hook)
        (*hook)();
}

bool IsHungLocked(const ThreadQueue& queue)
{
    return queue.waiter == nullptr && queue.queueWaits == 0 && Clock::now() - queue.lastLooked > kHungAfter;
}

// Runs the calls other threads have sent to this thread, oldest first, each with the lock released.
void RunSentCallsLocked(std::unique_lock<std::mutex>& lock, ThreadQueue& queue)
{
    while (!queue.sent.empty()) {
        std::shared_ptr<SentCall> call = queue.sent.front();
        queue.sent.pop_front();
        Window* window = FindWindowLocked(call->window);
        if (!window || window->owner.get() != &queue) {
            FinishCallLocked(*call, SentCall::State::Failed, 0, ERROR_INVALID_WINDOW_HANDLE);
            continue;
        }
        WNDPROC procedure = window->procedure;
        call->state = SentCall::State::Running;
        lock.unlock();
        LRESULT result = 0;
        try {
            result = procedure(call->window, call->message, call->wParam, call->lParam);
        } catch (...) {
            // The sender must not wait for an answer that will never come.
            lock.lock();
            FinishCallLocked(*call, SentCall::State::Done, 0, ERROR_SUCCESS);
            throw;
        }
        lock.lock();
        FinishCallLocked(*call, SentCall::State::Done, result, ERROR_SUCCESS);
    }
}

bool MatchesLocked(const MSG& message, HWND window, UINT filterMin, UINT filterMax)
{
    if (window == kThreadMessagesOnly ? message.hwnd != nullptr
                                      : (window != nullptr && message.hwnd != window))
        return false;
    return (filterMin == 0 && filterMax == 0) ||
           (message.message >= filterMin && message.message <= filterMax);
}

bool TakePostedLocked(ThreadQueue& queue, LPMSG msg, HWND window, UINT filterMin, UINT filterMax, bool remove)
{
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (MatchesLocked(*it, window, filterMin, filterMax)) {
            *msg = *it;
            if (remove)
                queue.posted.erase(it);
            return true;
        }
    }
    if (queue.quitPending) {
        MSG quit{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, GetTickCount(), {0, 0}};
        if (window == nullptr || window == kThreadMessagesOnly) {
            if (MatchesLocked(quit, nullptr, filterMin, filterMax)) {
                *msg = quit;
                if (remove)
                    queue.quitPending = false;
                return true;
            }
        }
    }
    return false;
}

BOOL PostLocked(ThreadQueue& queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                std::shared_ptr<const std::function<void()>>& hook)
{
    if (queue.closed) {
        SetLastError(window ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    if (queue.posted.size() >= kMaxPostedMessages) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue.posted.push_back(MSG{window, message, wParam, lParam, GetTickCount(), {0, 0}});
    hook = AddInputLocked(queue, kPostedInput);
    return TRUE;
}

// Keeps a thread counted as sleeping for queue input for as long as the scope lasts; the lock is
// held whenever it is created and destroyed.
struct QueueWaitScope {
    ThreadQueue& queue;
    explicit QueueWaitScope(ThreadQueue& q) : queue(q) { ++queue.queueWaits; }
    ~QueueWaitScope() { --queue.queueWaits; }
    QueueWaitScope(const QueueWaitScope&) = delete;
    QueueWaitScope& operator=(const QueueWaitScope&) = delete;
};

// A send to a window; false with the last error set when it failed or timed out.
bool Send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
          LRESULT& result)
{
    std::unique_lock lock(gWaitLock);
    Window* window = FindWindowLocked(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    ThreadQueue& self = CurrentQueueLocked();
    if (window->owner.get() == &self) {
        WNDPROC procedure = window->procedure;
        lock.unlock();
        result = procedure(handle, message, wParam, lParam);
        return true;
    }
    std::shared_ptr<ThreadQueue> receiver = window->owner;
    if ((flags & SMTO_ABORTIFHUNG) != 0 && IsHungLocked(*receiver)) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }

    auto call = std::make_shared<SentCall>();
    call->window = handle;
    call->message = message;
    call->wParam = wParam;
    call->lParam = lParam;
    call->senderWakeup = self.wakeup;
    receiver->sent.push_back(call);
    auto hook = AddInputLocked(*receiver, QS_SENDMESSAGE);
    lock.unlock();
    CallHook(hook);
    lock.lock();

    // Whichever way the wait ends (answer, time-out, an exception from a call run meanwhile), the
    // receiver must not wake this thread any more, and a call it has not begun is withdrawn, so a
    // late notification cannot overtake the ones sent after it. Runs with the lock held.
    struct Abandon {
        SentCall& call;
        ThreadQueue& receiver;
        ~Abandon()
        {
            call.senderWakeup = nullptr;
            if (call.state == SentCall::State::Queued) {
                auto& sent = receiver.sent;
                sent.erase(
                    std::remove_if(sent.begin(), sent.end(), [&](const auto& c) { return c.get() == &call; }),
                    sent.end());
                call.state = SentCall::State::Failed;
                call.error = ERROR_TIMEOUT;
            }
        }
    } abandon{*call, *receiver};

    const bool runIncoming = (flags & SMTO_BLOCK) == 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::optional<QueueWaitScope> waitingForQueue;
    if (runIncoming)
        waitingForQueue.emplace(self);
    auto pending = [&] {
        return call->state == SentCall::State::Queued || call->state == SentCall::State::Running;
    };
    while (pending()) {
        if (runIncoming && !self.sent.empty()) {
            // The receiver may be sending to us while it handles our call: answer it, or both wait.
            self.lastLooked = Clock::now();
            RunSentCallsLocked(lock, self);
            continue;
        }
        if (timeoutMs == INFINITE) {
            self.wakeup->wait(lock);
        } else if (self.wakeup->wait_until(lock, deadline) == std::cv_status::timeout && pending()) {
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
    }
    if (call->state == SentCall::State::Failed) {
        SetLastError(call->error);
        return false;
    }
    result = call->result;
    return true;
}

WNDPROC ProcedureOfOwnWindowLocked(HWND handle)
{
    Window* window = FindWindowLocked(handle);
    if (!window || window->owner.get() != &CurrentQueueLocked())
        return nullptr;
    return window->procedure;
}

} // namespace

// ---- Queue input for MsgWaitForMultipleObjects -----------------------------------------------

bool CurrentQueueHasInputLocked(DWORD wakeMask)
{
    ThreadQueue& queue = CurrentQueueLocked();
    queue.lastLooked = Clock::now();
    return ((wakeMask & QS_SENDMESSAGE) != 0 && !queue.sent.empty()) ||
           ((wakeMask & kPostedInput) != 0 && (!queue.posted.empty() || queue.quitPending));
}

void AttachQueueWaiterLocked(WaitBlock& block)
{
    ThreadQueue& queue = CurrentQueueLocked();
    queue.waiter = &block;
    block.queue = &queue;
}

void DetachQueueWaiterLocked(WaitBlock& block)
{
    auto* queue = static_cast<ThreadQueue*>(block.queue);
    if (queue && queue->waiter == &block) {
        queue->waiter = nullptr;
        queue->lastLooked = Clock::now();
    }
    block.queue = nullptr;
}

void SetQueueWakeHook(std::function<void()> hook)
{
    std::shared_ptr<const std::function<void()>> shared;
    if (hook)
        shared = std::make_shared<const std::function<void()>>(std::move(hook));
    std::lock_guard guard(gWaitLock);
    CurrentQueueLocked().hook = std::move(shared);
}

bool HasQueuedMessages()
{
    std::lock_guard guard(gWaitLock);
    ThreadQueue& queue = CurrentQueueLocked();
    return !queue.posted.empty() || !queue.sent.empty() || queue.quitPending;
}

} // namespace platform

using namespace platform;

HINSTANCE GetModuleHandleA(LPCSTR moduleName)
{
    if (moduleName != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
}

ATOM RegisterClassA(const WNDCLASSA* windowClass)
{
    if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc ||
        reinterpret_cast<uintptr_t>(windowClass->lpszClassName) < 0x10000 || windowClass->cbWndExtra < 0 ||
        windowClass->cbWndExtra > kMaxWindowExtraBytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard guard(gWaitLock);
    if (FindClassLocked(windowClass->lpszClassName)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto entry = std::make_shared<WindowClass>();
    entry->name = windowClass->lpszClassName;
    std::transform(entry->name.begin(), entry->name.end(), entry->name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    entry->atom = ++State().lastAtom;
    entry->procedure = windowClass->lpfnWndProc;
    entry->extraBytes = windowClass->cbWndExtra;
    State().classes[entry->name] = entry;
    return entry->atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE)
{
    std::lock_guard guard(gWaitLock);
    std::shared_ptr<WindowClass> entry = className ? FindClassLocked(className) : nullptr;
    if (!entry) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (entry->windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    State().classes.erase(entry->name);
    return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter)
{
    HWND handle = nullptr;
    WNDPROC procedure = nullptr;
    {
        std::lock_guard guard(gWaitLock);
        std::shared_ptr<WindowClass> entry = className ? FindClassLocked(className) : nullptr;
        if (!entry) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        State().lastWindow += 4; // never reused: a stale handle never reaches a newer window
        handle = reinterpret_cast<HWND>(State().lastWindow);
        Window window;
        CurrentQueueLocked();
        window.owner = Holder().queue;
        window.windowClass = entry;
        window.procedure = entry->procedure;
        window.extra.assign(static_cast<size_t>(entry->extraBytes), 0);
        entry->windows += 1;
        procedure = window.procedure;
        State().windows.emplace(handle, std::move(window));
    }
    CREATESTRUCTA create{parameter,  instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
                         windowName, className, exStyle};
    if (procedure(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        std::lock_guard guard(gWaitLock);
        RemoveWindowLocked(handle);
        SetLastError(ERROR_GEN_FAILURE);
        return nullptr;
    }
    return handle;
}

BOOL DestroyWindow(HWND handle)
{
    WNDPROC procedure = nullptr;
    {
        std::lock_guard guard(gWaitLock);
        Window* window = FindWindowLocked(handle);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (window->owner.get() != &CurrentQueueLocked()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (window->destroying)
            return TRUE; // asked again from its own WM_DESTROY
        window->destroying = true;
        procedure = window->procedure;
    }
    try {
        procedure(handle, WM_DESTROY, 0, 0);
    } catch (...) {
        std::lock_guard guard(gWaitLock);
        RemoveWindowLocked(handle);
        throw;
    }
    std::lock_guard guard(gWaitLock);
    RemoveWindowLocked(handle);
    return TRUE;
}

BOOL IsWindow(HWND handle)
{
    std::lock_guard guard(gWaitLock);
    return FindWindowLocked(handle) ? TRUE : FALSE;
}

namespace
{

// Reads or (with newValue) writes a window value of the given size; false with the last error set.
bool AccessWindowLong(HWND handle, int index, size_t size, LONG_PTR& value, const LONG_PTR* newValue)
{
    std::lock_guard guard(gWaitLock);
    Window* window = FindWindowLocked(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (index == GWLP_USERDATA) {
        value = size == sizeof(LONG) ? static_cast<LONG>(window->userData) : window->userData;
        if (newValue)
            window->userData = *newValue;
        return true;
    }
    if (index == GWLP_WNDPROC && size == sizeof(LONG_PTR)) {
        value = reinterpret_cast<LONG_PTR>(window->procedure);
        if (newValue) {
            if (*newValue == 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            window->procedure = reinterpret_cast<WNDPROC>(*newValue);
        }
        return true;
    }
    if (index < 0 || static_cast<size_t>(index) + size > window->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return false;
    }
    BYTE* at = window->extra.data() + index;
    if (size == sizeof(LONG)) {
        LONG old = 0;
        std::memcpy(&old, at, sizeof old);
        value = old;
        if (newValue) {
            auto stored = static_cast<LONG>(*newValue);
            std::memcpy(at, &stored, sizeof stored);
        }
    } else {
        std::memcpy(&value, at, sizeof value);
        if (newValue)
            std::memcpy(at, newValue, sizeof *newValue);
    }
    return true;
}

} // namespace

LONG GetWindowLongA(HWND window, int index)
{
    LONG_PTR value = 0;
    return AccessWindowLong(window, index, sizeof(LONG), value, nullptr) ? static_cast<LONG>(value) : 0;
}

LONG SetWindowLongA(HWND window, int index, LONG value)
{
    LONG_PTR old = 0;
    const LONG_PTR wanted = value;
    return AccessWindowLong(window, index, sizeof(LONG), old, &wanted) ? static_cast<LONG>(old) : 0;
}

LONG_PTR GetWindowLongPtrA(HWND window, int index)
{
    LONG_PTR value = 0;
    return AccessWindowLong(window, index, sizeof(LONG_PTR), value, nullptr) ? value : 0;
}

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value)
{
    LONG_PTR old = 0;
    return AccessWindowLong(window, index, sizeof(LONG_PTR), old, &value) ? old : 0;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<const std::function<void()>> hook;
    BOOL posted = FALSE;
    {
        std::lock_guard guard(gWaitLock);
        ThreadQueue* queue = nullptr;
        if (window == nullptr) {
            queue = &CurrentQueueLocked();
        } else if (Window* target = FindWindowLocked(window)) {
            queue = target->owner.get();
        } else {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        posted = PostLocked(*queue, window, message, wParam, lParam, hook);
    }
    CallHook(hook);
    return posted;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<const std::function<void()>> hook;
    BOOL posted = FALSE;
    {
        std::lock_guard guard(gWaitLock);
        auto found = State().queues.find(threadId);
        if (found == State().queues.end()) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        posted = PostLocked(*found->second, nullptr, message, wParam, lParam, hook);
    }
    CallHook(hook);
    return posted;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    return Send(window, message, wParam, lParam, SMTO_NORMAL, INFINITE, result) ? result : 0;
}

LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeoutMs, PDWORD_PTR result)
{
    LRESULT answer = 0;
    // INFINITE would mean "no limit" to the wait below; a time-out is always a finite wait here.
    const DWORD limit = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
    if (!Send(window, message, wParam, lParam, flags, limit, answer))
        return 0;
    if (result)
        *result = static_cast<DWORD_PTR>(answer);
    return 1;
}

BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags)
{
    std::unique_lock lock(gWaitLock);
    ThreadQueue& queue = CurrentQueueLocked();
    queue.lastLooked = Clock::now();
    RunSentCallsLocked(lock, queue);
    return TakePostedLocked(queue, msg, window, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? TRUE
                                                                                                      : FALSE;
}

BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax)
{
    std::unique_lock lock(gWaitLock);
    if (window != nullptr && window != kThreadMessagesOnly && !FindWindowLocked(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    ThreadQueue& queue = CurrentQueueLocked();
    QueueWaitScope waiting(queue);
    for (;;) {
        queue.lastLooked = Clock::now();
        RunSentCallsLocked(lock, queue);
        if (TakePostedLocked(queue, msg, window, filterMin, filterMax, true))
            return msg->message == WM_QUIT ? FALSE : TRUE;
        // Woken by every new input; input that does not match the filter sends it back to sleep.
        queue.wakeup->wait(lock);
    }
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg)
{
    if (!msg || !msg->hwnd)
        return 0;
    WNDPROC procedure = nullptr;
    {
        std::lock_guard guard(gWaitLock);
        procedure = ProcedureOfOwnWindowLocked(msg->hwnd);
    }
    if (!procedure)
        return 0;
    return procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    default:
        return 0;
    }
}

void PostQuitMessage(int exitCode)
{
    std::shared_ptr<const std::function<void()>> hook;
    {
        std::lock_guard guard(gWaitLock);
        ThreadQueue& queue = CurrentQueueLocked();
        queue.quitPending = true;
        queue.quitCode = exitCode;
        hook = AddInputLocked(queue, kPostedInput);
    }
    CallHook(hook);
}
