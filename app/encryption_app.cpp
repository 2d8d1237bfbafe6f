#include "encryption_app.h"

#include <unistd.h>

#include <cstdlib>

#include "app_icon.h"
#include "main_dialog.h"

static void InitPageResources() {
    Q_INIT_RESOURCE(app);
}

int& CEncryptionApp::PrepareProcess(int& argc) {
    // The page view shares graphics contexts with the rest of the program.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The browser engine refuses its sandbox to the superuser and would never show the page.
    // The view shows only the program's own page and cannot navigate away from it.
    if (geteuid() == 0 && std::getenv("QTWEBENGINE_DISABLE_SANDBOX") == nullptr)
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    return argc;
}

CEncryptionApp::CEncryptionApp(int& argc, char** argv) : QApplication(PrepareProcess(argc), argv) {
    InitPageResources();
    setApplicationName(QStringLiteral("vyx-encryption"));
    setApplicationVersion(QStringLiteral("1.02"));
    // Lets the desktop match the windows to the installed launcher and its icon.
    setDesktopFileName(QStringLiteral("vyx-encryption"));
    setWindowIcon(AppIcon());
}

bool CEncryptionApp::InitInstance() {
    CMainDialog dialog;
    dialog.DoModal();  // the result is not used
    return false;
}
