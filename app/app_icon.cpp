#include "app_icon.h"

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/page/icons/%1.png").arg(size), QSize(size, size));
    }
    return icon;
}
