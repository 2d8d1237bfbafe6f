#pragma once
// Every message of the file stream library goes through one replaceable presenter: the window
// installs a real message box, tests install a recording one, and with none installed the text
// goes to standard error.

#include <string_view>

enum class MessageButtons { Ok, OkCancel };

class IMessagePresenter {
  public:
    virtual ~IMessagePresenter() = default;
    // A modal box with no owner window and an empty caption; returns once it is dismissed.
    virtual void Present(std::u16string_view text, MessageButtons buttons) = 0;
};

// nullptr: print to standard error. The presenter is not owned.
void SetMessagePresenter(IMessagePresenter* presenter);
IMessagePresenter* GetMessagePresenter();

// Shows text with the given buttons through the installed presenter.
void PresentMessage(std::u16string_view text, MessageButtons buttons);

// An OK box, no owner, empty caption.
void NotifyUser(std::u16string_view text);

// NotifyUser, then the process ends normally with exit status 0, unless a misuse handler is
// installed.
[[noreturn]] void NotifyUserAndExit(std::u16string_view text);

// Called by NotifyUserAndExit after the message, in place of ending the process: a program that
// must clean up first (drop its staged output, choose its own exit status) throws from it, and
// the stack unwinds to the program's own handler. Should it return, the process ends as without
// one. nullptr: none.
using MisuseHandler = void (*)();
void SetMisuseHandler(MisuseHandler handler);
