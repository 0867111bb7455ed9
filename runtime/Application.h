// The application object: the program's title and its standard error display, which every thread
// may call; texts from other threads reach the user-interface thread without blocking them.
#pragma once

#include <exception>
#include <functional>
#include <string>

/// The display that shows one error text to the user (runtime/qt installs a message box).
/// It runs on the user-interface thread only, one text at a time.
using TExceptionDisplay = std::function<void(const std::string& text)>;

namespace Application
{

/// Thread: any.
std::string Title();
/// Sets the title and tells the title handler (the Qt bridge forwards it to Qt).
/// Thread: the user-interface thread.
void SetTitle(const std::string& title);
/// Called with the new title by SetTitle, on the user-interface thread; null removes it.
void SetTitleHandler(std::function<void(const std::string&)> handler);

/// Installs the error display (null removes it). Thread: the user-interface thread.
void SetExceptionDisplay(TExceptionDisplay display);

/// The standard error display of an exception's text (what()).
/// On the user-interface thread it calls the installed display and returns when the user has seen
/// it; a text that comes while a display is already showing waits for it and then follows.
/// On any other thread it queues the text for the user-interface thread and returns at once.
/// Without a display or a user-interface thread it writes "<title>: <text>" to stderr.
/// At most 32 texts wait at a time; of a burst beyond that only the count is shown.
/// Never throws. Thread: any.
void ShowException(const std::exception& error);
/// As ShowException, for a text.
void ShowErrorText(const std::string& text);

/// For use inside a catch block: shows the exception being handled (a std::exception by its
/// text, anything else as "Unknown exception"). Does nothing outside a catch block.
/// Never throws. Thread: any.
void HandleException();

} // namespace Application
