#pragma once
// The modal boxes the window shows: message boxes and the open-file dialog. Tests can answer
// them in advance through CUiTestHooks instead of letting them appear.

#include <QMessageBox>
#include <QString>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

class QWidget;

// A message box with an empty caption and no icon. owner may be null (a box of its own).
// Returns the button the user pressed.
QMessageBox::StandardButton ShowMessageBox(QWidget* owner, const QString& text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// The open-file dialog: one existing file, any name. nullopt when the user cancelled.
std::optional<QString> ChooseFileToOpen(QWidget* owner);

struct RecordedMessage {
    QString text;
    QString caption;
    QWidget* owner = nullptr;
    QMessageBox::StandardButtons buttons;
};

class CUiTestHooks {
  public:
    // While recording, message boxes are not shown: each is recorded and answered with its first
    // button (OK).
    static void RecordMessages(bool on);
    static bool RecordingMessages();
    static std::vector<RecordedMessage>& Messages();

    // The next open-file dialog is not shown and answers with this (nullopt: the user cancelled).
    static void AnswerNextOpenFile(const std::optional<QString>& answer);
    static std::size_t PendingOpenFileAnswers();

    // Counts the open-file dialogs asked for, answered in advance or not.
    static int OpenFileRequests();

    static void Reset();

  private:
    friend QMessageBox::StandardButton ShowMessageBox(QWidget*, const QString&,
                                                      QMessageBox::StandardButtons);
    friend std::optional<QString> ChooseFileToOpen(QWidget*);
    static bool recording_;
    static std::vector<RecordedMessage> messages_;
    static std::deque<std::pair<bool, QString>> openFileAnswers_;  // chosen?, path
    static int openFileRequests_;
};
