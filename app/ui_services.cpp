#include "ui_services.h"

#include <QFileDialog>
#include <QShowEvent>
#include <QSocketNotifier>
#include <memory>

#include "fileops/run_signals.h"
#include "native_caption.h"

namespace {

// A message box whose empty caption reaches the window manager as empty.
class CUncaptionedBox : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

  protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        ClearNativeCaption(*this);  // the native window exists now and is mapped right after
    }
};

}  // namespace

bool CUiTestHooks::recording_ = false;
std::vector<RecordedMessage> CUiTestHooks::messages_;
std::deque<std::pair<bool, QString>> CUiTestHooks::openFileAnswers_;
int CUiTestHooks::openFileRequests_ = 0;

void CUiTestHooks::RecordMessages(bool on) {
    recording_ = on;
}
bool CUiTestHooks::RecordingMessages() {
    return recording_;
}
std::vector<RecordedMessage>& CUiTestHooks::Messages() {
    return messages_;
}
void CUiTestHooks::AnswerNextOpenFile(const std::optional<QString>& answer) {
    openFileAnswers_.emplace_back(answer.has_value(), answer.value_or(QString()));
}
std::size_t CUiTestHooks::PendingOpenFileAnswers() {
    return openFileAnswers_.size();
}
int CUiTestHooks::OpenFileRequests() {
    return openFileRequests_;
}
void CUiTestHooks::Reset() {
    recording_ = false;
    messages_.clear();
    openFileAnswers_.clear();
    openFileRequests_ = 0;
}

QMessageBox::StandardButton ShowMessageBox(QWidget* owner, const QString& text,
                                           QMessageBox::StandardButtons buttons) {
    const QString caption;  // every box of the program has an empty caption
    if (CUiTestHooks::recording_) {
        CUiTestHooks::messages_.push_back({text, caption, owner, buttons});
        return buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::NoButton;
    }
    CUncaptionedBox box(QMessageBox::NoIcon, caption, text, buttons, owner);
    box.setDefaultButton(QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);  // paths and file texts are shown as they are
    const QMessageBox::StandardButton escape =
        buttons.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel : QMessageBox::Ok;
    if (buttons.testFlag(QMessageBox::Cancel)) box.setEscapeButton(QMessageBox::Cancel);
    // A termination signal that arrives while a run waits on its box closes the box at once: the
    // run then stops as on a close request, and the signal ends the program once it has.
    std::unique_ptr<QSocketNotifier> signalled;
    if (const int wake = RunSignalWakeDescriptor(); wake >= 0) {
        signalled = std::make_unique<QSocketNotifier>(wake, QSocketNotifier::Read);
        QObject::connect(signalled.get(), &QSocketNotifier::activated, &box,
                         [&box, &signalled, escape] {
                             signalled->setEnabled(false);
                             box.done(escape);
                         });
    }
    if (CaughtRunSignal() != 0) return escape;  // noted before the box could show
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

std::optional<QString> ChooseFileToOpen(QWidget* owner) {
    ++CUiTestHooks::openFileRequests_;
    if (!CUiTestHooks::openFileAnswers_.empty()) {
        const auto [chosen, path] = CUiTestHooks::openFileAnswers_.front();
        CUiTestHooks::openFileAnswers_.pop_front();
        if (!chosen) return std::nullopt;
        return path;
    }
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("All Files (*)"));
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return files.front();
}
