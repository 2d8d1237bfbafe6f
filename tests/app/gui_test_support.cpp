#include "gui_test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <deque>
#include <memory>
#include <utility>

#include "dhtml_dialog.h"
#include "ui_services_testing.h"

using namespace Qt::StringLiterals;

namespace {

class CTestStandIn : public IUiServicesStandIn {
  public:
    std::optional<QMessageBox::StandardButton> AnswerMessage(
        QWidget* owner, const QString& text, const QString& caption,
        QMessageBox::StandardButtons buttons) override {
        if (!recording) return std::nullopt;
        messages.push_back({text, caption, owner, buttons});
        return buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::NoButton;
    }
    std::optional<std::optional<QString>> AnswerOpenFile(QWidget* /*owner*/) override {
        ++openFileRequests;
        if (openFileAnswers.empty()) return std::nullopt;
        const auto [chosen, path] = openFileAnswers.front();
        openFileAnswers.pop_front();
        return chosen ? std::optional<QString>(path) : std::nullopt;
    }

    bool recording = false;
    std::vector<RecordedMessage> messages;
    std::deque<std::pair<bool, QString>> openFileAnswers;  // chosen?, path
    int openFileRequests = 0;
};

// Installed on first use and for good: every box of the tests asks it first.
CTestStandIn& StandIn() {
    static CTestStandIn* const standIn = [] {
        static CTestStandIn instance;
        SetUiServicesStandIn(&instance);
        return &instance;
    }();
    return *standIn;
}

}  // namespace

void CUiTestHooks::RecordMessages(bool on) {
    StandIn().recording = on;
}
std::vector<RecordedMessage>& CUiTestHooks::Messages() {
    return StandIn().messages;
}
void CUiTestHooks::AnswerNextOpenFile(const std::optional<QString>& answer) {
    StandIn().openFileAnswers.emplace_back(answer.has_value(), answer.value_or(QString()));
}
int CUiTestHooks::OpenFileRequests() {
    return StandIn().openFileRequests;
}
void CUiTestHooks::Reset() {
    CTestStandIn& standIn = StandIn();
    standIn.recording = false;
    standIn.messages.clear();
    standIn.openFileAnswers.clear();
    standIn.openFileRequests = 0;
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
    auto result = std::make_shared<std::pair<bool, QVariant>>(false, QVariant());
    dialog.View()->page()->runJavaScript(script, [result](const QVariant& value) {
        result->first = true;
        result->second = value;
    });
    WaitUntil([&] { return result->first; }, timeoutMs);
    return result->second;
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

void OnNextModalWidget(const std::function<bool(QWidget&)>& act, int timeoutMs) {
    auto* timer = new QTimer(qApp);
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act, elapsed, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if ((modal != nullptr && modal->isVisible() && act(*modal)) ||
            elapsed->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}
