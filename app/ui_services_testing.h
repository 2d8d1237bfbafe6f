#pragma once
// For tests only, never included by the program: lets a test answer the boxes of ui_services.h
// in place of the user, so that they need not appear.

#include <QMessageBox>
#include <QString>
#include <optional>

class QWidget;

class IUiServicesStandIn {
  public:
    virtual ~IUiServicesStandIn() = default;
    // Asked before a message box shows: a button answers the box in place of the user; nullopt
    // lets the real box show.
    virtual std::optional<QMessageBox::StandardButton> AnswerMessage(
        QWidget* owner, const QString& text, const QString& caption,
        QMessageBox::StandardButtons buttons) = 0;
    // Asked before the open-file dialog shows: a value answers it (a path, or nullopt for a
    // cancel); nothing lets the real dialog show.
    virtual std::optional<std::optional<QString>> AnswerOpenFile(QWidget* owner) = 0;
};

// Installs standIn (null: none) for every box from now on.
void SetUiServicesStandIn(IUiServicesStandIn* standIn);
