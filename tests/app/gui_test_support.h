#pragma once
// Helpers for driving the real window in-process: wait for the page, run script in it, click and
// type by element id, answer modal boxes from a timer or in advance.

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QVariant>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

#include "ui_services_testing.h"

class CDHtmlDialog;
class QWidget;

struct RecordedMessage {
    QString text;
    QString caption;
    QWidget* owner = nullptr;
    QMessageBox::StandardButtons buttons;
    bool operator==(const RecordedMessage&) const = default;
};

// Answers the program's message boxes and open-file dialogs in place of the user.
struct CUiTestHooks final : IUiServicesStandIn {
    // While recording, message boxes are not shown: each is recorded and answered with OK.
    bool recording = false;
    std::vector<RecordedMessage> messages;
    // The next open-file dialogs are not shown and answer with these paths.
    std::deque<QString> openFileAnswers;
    // The open-file dialogs asked for, answered in advance or not.
    int openFileRequests = 0;

    // No recording, no answers, no requests counted.
    void Reset();
    std::optional<QMessageBox::StandardButton> AnswerMessage(
        QWidget* owner, const QString& text, const QString& caption,
        QMessageBox::StandardButtons buttons) override;
    std::optional<std::optional<QString>> AnswerOpenFile(QWidget* owner) override;
};

// The hooks, installed on first use and for good: every box of the tests asks them first.
CUiTestHooks& UiTestHooks();

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

// Calls act with each visible modal widget (polled from a timer) until act returns true or the
// timeout passes. Returns at once: the timer keeps running in whatever event loop is current,
// including a modal box's own.
void OnNextModal(const std::function<bool(QWidget&)>& act, int timeoutMs = 20000);

// Runs trigger, and act on the modal T it opens, for example to check a message box and press one
// of its buttons; true once act ran and no modal is left.
template <typename T>
bool AnswerModal(const std::function<void()>& trigger, const std::function<void(T&)>& act) {
    bool seen = false;
    OnNextModal([&](QWidget& widget) {
        T* modal = qobject_cast<T*>(&widget);
        seen = modal != nullptr;
        if (seen) act(*modal);
        return seen;
    });
    trigger();
    return WaitUntil([&] { return seen && QApplication::activeModalWidget() == nullptr; });
}

// Lets test failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const RecordedMessage& m, std::ostream* os) {
    *os << '"' << m.text.toStdString() << "\" captioned \"" << m.caption.toStdString()
        << "\" owner " << m.owner << " buttons " << m.buttons.toInt();
}
