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

// NotifyUser, then the process ends normally with exit status 0.
[[noreturn]] void NotifyUserAndExit(std::u16string_view text);
