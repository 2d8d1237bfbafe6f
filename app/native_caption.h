#pragma once
// A window manager titles a window from its _NET_WM_NAME, or else its WM_NAME. For a window with an
// empty title the toolkit puts the application's name into _NET_WM_NAME, so an uncaptioned box
// would read "vyx-encryption" in its title bar.

class QWidget;

// Makes both properties of window's native window empty. Call it once the native window exists and
// before it is mapped (showEvent). Does nothing outside X11.
void ClearNativeCaption(QWidget& window);
