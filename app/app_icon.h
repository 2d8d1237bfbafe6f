#pragma once
// The program's icon: the drawn source for any size, with pixel-tuned images at 16, 32 and 48.

#include <QIcon>

QIcon AppIcon();
