#include "gui_test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <memory>

#include "dhtml_dialog.h"

using namespace Qt::StringLiterals;

CUiTestHooks& UiTestHooks() {
    static CUiTestHooks* const hooks = [] {
        static CUiTestHooks instance;
        SetUiServicesStandIn(&instance);
        return &instance;
    }();
    return *hooks;
}

void CUiTestHooks::Reset() {
    recording = false;
    messages.clear();
    openFileAnswers.clear();
    openFileRequests = 0;
}

std::optional<QMessageBox::StandardButton> CUiTestHooks::AnswerMessage(
    QWidget* owner, const QString& text, const QString& caption,
    QMessageBox::StandardButtons buttons) {
    if (!recording) return std::nullopt;
    messages.push_back({text, caption, owner, buttons});
    return buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::NoButton;
}

std::optional<std::optional<QString>> CUiTestHooks::AnswerOpenFile(QWidget* /*owner*/) {
    ++openFileRequests;
    if (openFileAnswers.empty()) return std::nullopt;
    const QString path = openFileAnswers.front();
    openFileAnswers.pop_front();
    return std::optional<QString>(path);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

QVariant RunScript(CDHtmlDialog& dialog, const QString& script, int timeoutMs) {
    // Shared: an answer may come after the wait gave up.
    auto result = std::make_shared<std::optional<QVariant>>();
    dialog.View()->page()->runJavaScript(script,
                                         [result](const QVariant& value) { *result = value; });
    WaitUntil([&] { return result->has_value(); }, timeoutMs);
    return result->value_or(QVariant());
}

bool ShowAndWaitForPage(CDHtmlDialog& dialog, int timeoutMs) {
    dialog.show();
    return WaitUntil([&] { return dialog.IsPageReady(); }, timeoutMs);
}

namespace {
QString Quoted(const QString& text) {
    // A JSON string is a valid script string literal.
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}
}  // namespace

void ClickElement(CDHtmlDialog& dialog, const QString& id) {
    RunScript(dialog, u"document.getElementById(%1).click(); true"_s.arg(Quoted(id)));
}

void TypeInto(CDHtmlDialog& dialog, const QString& id, const QString& text) {
    RunScript(dialog,
              u"(function () { const e = document.getElementById(%1);"
              " e.value = %2; e.dispatchEvent(new Event('input'));"
              " return true; })()"_s.arg(Quoted(id), Quoted(text)));
}

QString PageValue(CDHtmlDialog& dialog, const QString& id) {
    return RunScript(dialog,
                     u"(function () { const e = document.getElementById(%1);"
                     " return e.tagName === 'INPUT' ? e.value"
                     " : e.textContent; })()"_s.arg(Quoted(id)))
        .toString();
}

void OnNextModal(const std::function<bool(QWidget&)>& act, int timeoutMs) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act, deadline = QDeadlineTimer(timeoutMs)] {
        QWidget* modal = QApplication::activeModalWidget();
        if ((modal != nullptr && modal->isVisible() && act(*modal)) || deadline.hasExpired()) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}
