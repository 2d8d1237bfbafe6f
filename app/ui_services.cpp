#include "ui_services.h"

#include <QFileDialog>
#include <QShowEvent>
#include <QSocketNotifier>
#include <memory>

#include "fileops/run_signals.h"
#include "native_caption.h"
#include "ui_services_testing.h"

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

IUiServicesStandIn* standIn = nullptr;

}  // namespace

void SetUiServicesStandIn(IUiServicesStandIn* given) {
    standIn = given;
}

QMessageBox::StandardButton ShowMessageBox(QWidget* owner, const QString& text,
                                           QMessageBox::StandardButtons buttons) {
    const QString caption;  // every box of the program has an empty caption
    if (standIn != nullptr) {
        if (const auto answer = standIn->AnswerMessage(owner, text, caption, buttons))
            return *answer;
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
    if (standIn != nullptr) {
        if (auto answer = standIn->AnswerOpenFile(owner)) return *answer;
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
