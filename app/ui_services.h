#pragma once
// The modal boxes the window shows: message boxes and the open-file dialog.

#include <QMessageBox>
#include <QString>
#include <optional>

class QWidget;

// A message box with an empty caption and no icon. owner may be null (a box of its own).
// Returns the button the user pressed.
QMessageBox::StandardButton ShowMessageBox(QWidget* owner, const QString& text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// The open-file dialog: one existing file, any name. nullopt when the user cancelled.
std::optional<QString> ChooseFileToOpen(QWidget* owner);
