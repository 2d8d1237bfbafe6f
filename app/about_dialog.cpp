#include "about_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "dialog_units.h"
#include "vyx_version.h"

namespace {

QLabel* AddText(QWidget* parent, const QString& text, const QRect& box) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    // The box is laid out for the dialog font; a wider font gets the lines it needs.
    label->setGeometry(box.x(), box.y(), box.width(),
                       std::max(box.height(), label->heightForWidth(box.width())));
    return label;
}

}  // namespace

CAboutDialog::CAboutDialog(const QIcon& icon, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Vyx Encryption"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const CDialogUnits du(font());

    icon_ = new QLabel(this);
    const QRect iconBox = du.Rect(11, 17, 21, 20);
    const int side = std::min(iconBox.width(), iconBox.height());
    icon_->setGeometry(iconBox.x(), iconBox.y(), side, side);
    icon_->setPixmap(icon.pixmap(QSize(side, side), devicePixelRatio()));

    AddText(this, QStringLiteral("VYX 128 bit data encryption\nVersion " VYX_VERSION),
            du.Rect(42, 11, 119, 19));

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setGeometry(du.Rect(266, 7, 50, 16));
    ok_->setDefault(true);
    ok_->setAutoDefault(true);
    ok_->setFocusPolicy(Qt::StrongFocus);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

    QLabel* protect = AddText(
        this,
        QStringLiteral("Encryption may assist in protecting the contents of a message. There is no "
                       "guarantee that an orgininal message cannot be recovered from the encrypted "
                       "data in part or in full."),
        du.Rect(42, 52, 248, 25));
    QRect warningBox = du.Rect(42, 82, 242, 18);
    warningBox.moveTop(std::max(warningBox.top(), protect->geometry().bottom() + du.Y(5)));
    QLabel* warning = AddText(
        this,
        QStringLiteral("This system should not be used in cases where loss or damage could occur "
                       "should an original message be recovered."),
        warningBox);

    QSize size = du.Size(323, 161);
    size.setHeight(std::max(size.height(), warning->geometry().bottom() + du.Y(11)));
    setFixedSize(size);
    ok_->setFocus();
}
