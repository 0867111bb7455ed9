// The application's title and standard error display. Texts from other threads wait in a short
// queue for the user-interface thread, which shows them one at a time.
#include "runtime/Application.h"

#include "runtime/Runtime_p.h"
#include "runtime/Thread.h"

#include <cstdio>
#include <deque>
#include <mutex>

namespace
{

constexpr size_t kMaxPendingErrors = 32;

struct TApplicationState {
    // Guards every field but Displaying. A leaf, so an error may be shown under any other lock:
    // handlers, displays and posts run once it has been left.
    std::mutex Lock;
    std::string Title;
    std::function<void(const std::string&)> TitleHandler;
    TExceptionDisplay Display;
    std::deque<std::string> Pending;
    size_t Dropped = 0;        // texts of a burst that found the queue full
    bool NoticePosted = false; // a kMsgShowErrors is on its way to the user-interface thread
    bool Displaying = false;   // user-interface thread only: a display is showing
};

// Never destroyed: a thread may still report an error while the program's statics go.
TApplicationState& State()
{
    static TApplicationState* state = new TApplicationState;
    return *state;
}

std::string DroppedText(size_t count)
{
    return std::to_string(count) + (count == 1 ? " further error was" : " further errors were") +
           " not shown.";
}

void WriteToStderr(const std::string& text)
{
    const std::string title = Application::Title();
    const std::string line = (title.empty() ? text : title + ": " + text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// Caller holds State().Lock.
void Enqueue(TApplicationState& state, const std::string& text)
{
    if (state.Pending.size() < kMaxPendingErrors)
        state.Pending.push_back(text);
    else
        ++state.Dropped;
}

// Caller holds State().Lock. Takes the next text to show, the count of dropped ones last.
bool TakeNext(TApplicationState& state, std::string& text)
{
    if (!state.Pending.empty()) {
        text = std::move(state.Pending.front());
        state.Pending.pop_front();
        return true;
    }
    if (state.Dropped) {
        text = DroppedText(state.Dropped);
        state.Dropped = 0;
        return true;
    }
    return false;
}

} // namespace

std::string Application::Title()
{
    std::lock_guard lock(State().Lock);
    return State().Title;
}

void Application::SetTitle(const std::string& title)
{
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(State().Lock);
        State().Title = title;
        handler = State().TitleHandler;
    }
    if (handler)
        handler(title);
}

void Application::SetTitleHandler(std::function<void(const std::string&)> handler)
{
    std::lock_guard lock(State().Lock);
    State().TitleHandler = std::move(handler);
}

void Application::SetExceptionDisplay(TExceptionDisplay display)
{
    std::lock_guard lock(State().Lock);
    State().Display = std::move(display);
}

void Application::ShowException(const std::exception& error) { ShowErrorText(error.what()); }

void Application::ShowErrorText(const std::string& text)
{
    TApplicationState& state = State();
    try {
        if (IsMainThread()) {
            bool queued = false;
            {
                std::lock_guard lock(state.Lock);
                if (state.Display) {
                    Enqueue(state, text);
                    queued = true;
                    // Inside a display already showing, this text follows when that one closes.
                    if (state.Displaying)
                        return;
                }
            }
            if (queued)
                runtime::ShowPendingErrors();
            else
                WriteToStderr(text);
            return;
        }

        HWND window = runtime::RuntimeWindow();
        bool queued = false;
        bool post = false;
        {
            std::lock_guard lock(state.Lock);
            if (state.Display && window) {
                Enqueue(state, text);
                queued = true;
                // One notice at a time: the user-interface thread takes the whole queue.
                post = !state.NoticePosted;
                state.NoticePosted = true;
            }
        }
        if (!queued) {
            WriteToStderr(text);
            return;
        }
        if (post && !PostMessageA(window, runtime::kMsgShowErrors, 0, 0)) {
            {
                std::lock_guard lock(state.Lock);
                state.NoticePosted = false;
            }
            // Nobody will come for the queue; the texts go where they can still be read.
            runtime::FlushPendingErrors();
        }
    } catch (...) {
        // The error display is the last resort of error handling and must never fail itself.
        std::fputs("Error display failed\n", stderr);
    }
}

void Application::HandleException()
{
    std::exception_ptr current = std::current_exception();
    if (!current)
        return;
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& error) {
        ShowException(error);
    } catch (...) {
        ShowErrorText("Unknown exception");
    }
}

void runtime::ShowPendingErrors()
{
    TApplicationState& state = State();
    {
        std::lock_guard lock(state.Lock);
        state.NoticePosted = false;
        if (state.Displaying)
            return;
        state.Displaying = true;
    }
    for (;;) {
        std::string text;
        TExceptionDisplay display;
        {
            std::lock_guard lock(state.Lock);
            if (!TakeNext(state, text)) {
                state.Displaying = false;
                return;
            }
            display = state.Display;
        }
        try {
            if (display)
                display(text);
            else
                WriteToStderr(text);
        } catch (...) {
            WriteToStderr(text);
        }
    }
}

void runtime::FlushPendingErrors()
{
    TApplicationState& state = State();
    for (;;) {
        std::string text;
        {
            std::lock_guard lock(state.Lock);
            if (!TakeNext(state, text))
                return;
        }
        WriteToStderr(text);
    }
}
