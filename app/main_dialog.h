#pragma once
// The program's one window: the page with its six buttons, the five bound values, and the services
// the file operations use while they run.

#include <QElapsedTimer>
#include <QIcon>
#include <memory>
#include <string_view>

#include "dhtml_dialog.h"
#include "fileops/main_window.h"

class CStreamMessagePresenter;
struct RunResult;

class CMainDialog : public CDHtmlDialog, public IMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CMainDialog)
  public:
    // The system-menu command that opens the about box; its low four bits are free for the system.
    static constexpr unsigned AboutCommand = 0x0010;

    explicit CMainDialog(QWidget* parent = nullptr);
    ~CMainDialog() override;

    // Ends the run, or, while a file operation runs, asks it to stop and ends the run as soon as
    // it has returned.
    void EndDialog(int result) override;

    // IMainWindow
    PageFields& Fields() override { return fields_; }
    void ReadPageFields() override;
    void WritePageFields() override;
    void PumpEvents() override;
    void ShowMessage(std::u16string_view text) override;
    bool StopRequested() const override { return stopRequested_; }

    // Click handlers.
    void OnHelpAbout();
    void OnOpenFile();
    void OnGenerateKey();
    void OnEncrypt();
    void OnDecrypt();
    void OnExit();
    // The system menu's commands: AboutCommand opens the about box, as the About button does.
    void OnSysCommand(unsigned commandId, long parameter);

    // The chosen file becomes the input and its proposed output name the output.
    void SelectInputFile(const QString& path);
    // The file the program was started with: selected as Select File selects it when the file
    // stream can open it; otherwise nothing is selected and the stream's own message is shown
    // over the window once its page is there.
    void SelectStartFile(const QString& argument);

    // Diagnostics: each run tells on standard error how long after its click its first message
    // (the completion box, or what stopped it) came.
    void TimeRuns() { timeRuns_ = true; }

    // How many file operations are running (more than one when one was started from a pump).
    int RunningOperations() const { return runningOperations_; }
    const QIcon& Icon() const { return icon_; }

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& exchange) override;
    void OnDropFile(const QString& path) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void reject() override;
    void done(int result) override;

  private:
    void RunOperation(RunResult (*operation)(IMainWindow&));
    void FinishOperation();

    PageFields fields_;
    QIcon icon_;
    std::unique_ptr<CStreamMessagePresenter> presenter_;
    int runningOperations_ = 0;
    bool stopRequested_ = false;
    // Set by every request to end the run, until the window is shown again: a click that was
    // still on its way then starts no operation.
    bool closing_ = false;
    int pendingResult_ = 0;
    // The event loop turns in PumpEvents at most once per interval, counted from a pump's end.
    static constexpr qint64 kPumpIntervalMs = 25;
    QElapsedTimer lastPump_;
    bool timeRuns_ = false;
    QElapsedTimer runClock_;  // since the click that started the run, until its first message
};
