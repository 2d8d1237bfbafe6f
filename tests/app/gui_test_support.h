#pragma once
// Helpers for driving the real window in-process: wait for the page, run script in it, click and
// type by element id, answer modal boxes from a timer.

#include <QString>
#include <QVariant>
#include <functional>

class CDHtmlDialog;
class QWidget;

// Processes events until done() holds or timeoutMs passes; returns done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 20000);

// Runs script in the dialog's page and waits for its result.
QVariant RunScript(CDHtmlDialog& dialog, const QString& script, int timeoutMs = 20000);

// Shows the dialog (not modally) and waits until its page has reported in.
bool ShowAndWaitForPage(CDHtmlDialog& dialog, int timeoutMs = 30000);

// Clicks the element with this id as a user would (its click event fires in the page).
void ClickElement(CDHtmlDialog& dialog, const QString& id);
// Sets an input's text as typing would (its input event fires).
void TypeInto(CDHtmlDialog& dialog, const QString& id, const QString& text);
// An element's value (inputs) or text content (anything else), read from the page.
QString PageValue(CDHtmlDialog& dialog, const QString& id);

// Calls act with the next modal widget of type T that becomes active (polled from a timer), for
// example to check a message box and press one of its buttons. Returns once act has run or the
// timeout passed, without blocking the caller: the timer keeps running in whatever event loop
// is current, including a modal box's own.
template <typename T>
void OnNextModal(const std::function<void(T&)>& act, int timeoutMs = 20000);

// The untyped machinery behind OnNextModal.
void OnNextModalWidget(const std::function<bool(QWidget&)>& act, int timeoutMs);

template <typename T>
void OnNextModal(const std::function<void(T&)>& act, int timeoutMs) {
    OnNextModalWidget(
        [act](QWidget& widget) {
            T* typed = qobject_cast<T*>(&widget);
            if (typed == nullptr) return false;
            act(*typed);
            return true;
        },
        timeoutMs);
}

#include <ostream>
// Lets test failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
