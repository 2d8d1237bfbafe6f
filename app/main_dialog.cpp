#include "main_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QShowEvent>
#include <cstdio>

#include "about_dialog.h"
#include "app_icon.h"
#include "cipher/cipher.h"
#include "dialog_units.h"
#include "fileops/file_operations.h"
#include "fileops/output_name.h"
#include "fileops/run_signals.h"
#include "filestream/notify.h"
#include "start_file.h"
#include "ui_services.h"

// The file stream's own messages: boxes of their own, no owner, empty caption.
class CStreamMessagePresenter : public IMessagePresenter {
  public:
    void Present(std::u16string_view text, MessageButtons buttons) override {
        ShowMessageBox(nullptr,
                       QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())),
                       buttons == MessageButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                           : QMessageBox::Ok);
    }
};

CMainDialog::CMainDialog(QWidget* parent)
    : CDHtmlDialog(QUrl(QStringLiteral("qrc:/page/main.html")), parent),
      icon_(AppIcon()),
      presenter_(std::make_unique<CStreamMessagePresenter>()) {
    SetMessagePresenter(presenter_.get());

    setWindowTitle(QStringLiteral("VYX Encryption"));
    // A window of its own (its own taskbar entry) with a minimise box and no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(CDialogUnits().Size(375, 225));
    setAcceptDrops(true);

    MapClick(u"BHelpAbout", [this] { OnHelpAbout(); });
    MapClick(u"BOpenFile", [this] { OnOpenFile(); });
    MapClick(u"BGenerateKey", [this] { OnGenerateKey(); });
    MapClick(u"BEncrypt", [this] { OnEncrypt(); });
    MapClick(u"BDecrypt", [this] { OnDecrypt(); });
    MapClick(u"BExit", [this] { OnExit(); });
}

CMainDialog::~CMainDialog() {
    if (GetMessagePresenter() == presenter_.get()) SetMessagePresenter(nullptr);
}

bool CMainDialog::OnInitDialog() {
    CDHtmlDialog::OnInitDialog();
    // No system menu to extend here: the window manager owns it. The About button serves.
    setWindowIcon(icon_);
    return true;
}

void CMainDialog::DoDataExchange(CDataExchange& exchange) {
    CDHtmlDialog::DoDataExchange(exchange);
    DDX_DHtml_ElementValue(exchange, u"Key", fields_.key);
    DDX_DHtml_ElementValue(exchange, u"output_file", fields_.outputFile);
    DDX_DHtml_ElementInnerText(exchange, u"Complete", fields_.complete);
    DDX_DHtml_ElementInnerText(exchange, u"CompleteText", fields_.completeText);
    DDX_DHtml_ElementInnerText(exchange, u"input_file", fields_.inputFile);
}

void CMainDialog::ReadPageFields() {
    UpdateData(true);
}

void CMainDialog::WritePageFields() {
    UpdateData(false);
}

void CMainDialog::PumpEvents() {
    // The operations pump at every change of the percentage, on a fast file many times a frame,
    // and each pump repaints the page. The values written in between are already on their way to
    // the page, in order. A close or a click is taken at most one interval later than at every
    // pump. The last pump of a run always turns: a close pending then is taken before the
    // completion box, which would block it.
    const bool last = fields_.complete == u"100 %";
    if (!last && lastPump_.isValid() && !lastPump_.hasExpired(kPumpIntervalMs)) return;
    // The run's last values go to the page before its completion box.
    if (last) FlushPageWrites();
    // Two turns that take what is pending and never wait for more.
    for (int turn = 0; turn < 2; ++turn) QCoreApplication::processEvents(QEventLoop::AllEvents);
    lastPump_.start();
}

void CMainDialog::ShowMessage(std::u16string_view text) {
    if (runClock_.isValid()) {
        std::fprintf(stderr, "vyx-encryption: message %.1f ms after the click\n",
                     static_cast<double>(runClock_.nsecsElapsed()) / 1e6);
        runClock_.invalidate();
    }
    ShowMessageBox(this, QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())));
}

void CMainDialog::OnHelpAbout() {
    CAboutDialog about(icon_, this);
    about.DoModal();
}

void CMainDialog::OnOpenFile() {
    const std::optional<QString> chosen = ChooseFileToOpen(this);
    if (!chosen) return;  // cancelled: nothing changes
    SelectInputFile(*chosen);
}

void CMainDialog::SelectInputFile(const QString& path) {
    fields_.inputFile = path.toStdU16String();
    fields_.outputFile = ProposeOutputName(fields_.inputFile);
    WritePageFields();
}

void CMainDialog::SelectStartFile(const QString& argument) {
    StartFile start = ProbeStartFile(argument);
    if (start.usable) {
        SelectInputFile(start.path);
        return;
    }
    auto show = [messages = std::move(start.messages)] {
        for (const auto& [text, buttons] : messages) PresentMessage(text, buttons);
    };
    // Queued: the page reports in from inside the web channel, which must return before a modal
    // box runs.
    if (IsPageReady()) {
        QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
    } else {
        connect(this, &CDHtmlDialog::pageShown, this, show,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));
    }
}

void CMainDialog::OnDropFile(const QString& path) {
    SelectInputFile(path);
}

void CMainDialog::OnGenerateKey() {
    const std::string text = GenerateKeyText();
    fields_.key.assign(text.begin(), text.end());  // plain ASCII, one character each
    WritePageFields();
}

void CMainDialog::OnEncrypt() {
    RunOperation(&EncryptFile);
}

void CMainDialog::OnDecrypt() {
    RunOperation(&DecryptFile);
}

void CMainDialog::RunOperation(RunResult (*operation)(IMainWindow&)) {
    // The close came first: it wins over a click that was queued before it was taken.
    if (closing_) return;
    ++runningOperations_;
    if (timeRuns_) runClock_.start();
    try {
        operation(*this);
    } catch (...) {
        FinishOperation();
        throw;
    }
    FinishOperation();
}

void CMainDialog::FinishOperation() {
    --runningOperations_;
    // A termination signal during the run stopped it like a close request; now that the run has
    // dropped its output, the signal ends the program as it would have.
    if (runningOperations_ == 0) ReraiseCaughtRunSignal();
    if (runningOperations_ == 0 && stopRequested_) {
        // The window was closed while the operation ran: it has stopped, so the run ends now.
        stopRequested_ = false;
        CDHtmlDialog::EndDialog(pendingResult_);
    }
}

void CMainDialog::OnExit() {
    EndDialog(2);
}

void CMainDialog::OnSysCommand(unsigned commandId, long /*parameter*/) {
    // The low four bits belong to the system. Every other command (move, minimise, close) the
    // window manager carries out itself before any reaches the window.
    if ((commandId & ~0xFu) == AboutCommand) OnHelpAbout();
}

void CMainDialog::EndDialog(int result) {
    done(result);
}

void CMainDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    EndDialog(2);
}

void CMainDialog::reject() {
    EndDialog(2);
}

void CMainDialog::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) closing_ = false;
    CDHtmlDialog::showEvent(event);
}

void CMainDialog::done(int result) {
    closing_ = true;
    if (runningOperations_ > 0) {
        // The operation stops at its next pump and removes what it wrote; the run ends after it.
        stopRequested_ = true;
        pendingResult_ = result;
        return;
    }
    CDHtmlDialog::EndDialog(result);
}
