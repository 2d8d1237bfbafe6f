#include "encryption_app.h"

#include <unistd.h>

#include <QLoggingCategory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app_icon.h"
#include "main_dialog.h"
#include "process_clock.h"
#include "vyx_version.h"

static void InitPageResources() {
    Q_INIT_RESOURCE(app);
}

bool CEncryptionApp::DiagnosticsWanted() {
    const char* value = std::getenv(kDiagnosticsVariable);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// A GPU shows up as a node under /dev/dri, or as NVIDIA's own device without the DRM module.
static bool GraphicsDeviceFound() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
        (void)entry;
        return true;
    }
    return std::filesystem::exists("/dev/nvidiactl", error);
}

int& CEncryptionApp::PrepareProcess(int& argc) {
    // The page view shares graphics contexts with the rest of the program.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The browser engine refuses its sandbox to the superuser and would never show the page.
    // The view shows only the program's own page and cannot navigate away from it.
    if (geteuid() == 0 && std::getenv("QTWEBENGINE_DISABLE_SANDBOX") == nullptr)
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    // Without a graphics device, OpenGL is emulated on the processor, and drawing the page through
    // it at every change of the percentage takes a large share of a core from the run. The scene
    // graph's own software renderer draws the same pixels for much less. A backend the user chose
    // wins.
    if (std::getenv("QT_QUICK_BACKEND") == nullptr && std::getenv("QMLSCENE_DEVICE") == nullptr &&
        !GraphicsDeviceFound())
        setenv("QT_QUICK_BACKEND", "software", 0);
    if (!DiagnosticsWanted()) {
        // On every start the engine describes its graphics set-up and reports passing hiccups of
        // its GPU thread, which users take for errors. Only its fatal messages are left; flags
        // the user gave come later and win.
        const char* given = std::getenv("QTWEBENGINE_CHROMIUM_FLAGS");
        const std::string flags =
            std::string("--log-level=3") + (given ? " " : "") + (given ? given : "");
        setenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.c_str(), 1);
        // Rules from QT_LOGGING_RULES still take precedence over these.
        QLoggingCategory::setFilterRules(
            QStringLiteral("qt.webenginecontext.info=false\ndefault.info=false"));
    }
    return argc;
}

CEncryptionApp::CEncryptionApp(int& argc, char** argv) : QApplication(PrepareProcess(argc), argv) {
    InitPageResources();
    setApplicationName(QStringLiteral("vyx-encryption"));
    setApplicationVersion(QStringLiteral(VYX_VERSION));
    // Lets the desktop match the windows to the installed launcher and its icon.
    setDesktopFileName(QStringLiteral("example.vyx.encryption"));
    setWindowIcon(AppIcon());
}

bool CEncryptionApp::InitInstance(const QString& startFile) {
    CMainDialog dialog;
    if (DiagnosticsWanted()) {
        dialog.TimeRuns();
        QObject::connect(&dialog, &CDHtmlDialog::pageShown, [] {
            std::fprintf(stderr, "vyx-encryption: page shown %.0f ms after start\n",
                         SecondsSinceProcessStart() * 1000.0);
        });
    }
    if (!startFile.isEmpty()) dialog.SelectStartFile(startFile);
    dialog.DoModal();  // the result is not used
    return false;
}
