#pragma once
// The about box: the product, its version, and what encryption can and cannot promise.

#include <QDialog>
#include <QIcon>

class QLabel;
class QPushButton;

class CAboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDialog(const QIcon& icon, QWidget* parent = nullptr);

    // Runs the box until OK (1), Escape or the close box (2).
    int DoModal() { return exec(); }

    QPushButton* OkButton() const { return ok_; }
    QLabel* IconLabel() const { return icon_; }

  protected:
    // Escape and the close box end the box with the cancel result.
    void reject() override { done(2); }

  private:
    QPushButton* ok_ = nullptr;
    QLabel* icon_ = nullptr;
};
