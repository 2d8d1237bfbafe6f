#pragma once
// The application object: one for the whole run; start-up shows the main window modally and the
// program ends when it closes.

#include <QApplication>
#include <QString>

class CEncryptionApp : public QApplication {
    Q_OBJECT
  public:
    // Set to anything but "" or "0", this lets the browser engine and the toolkit print their
    // diagnostics again, and the program tell when its page was shown and how long after the
    // click a run's box came.
    static constexpr const char* kDiagnosticsVariable = "VYX_DIAGNOSTICS";

    CEncryptionApp(int& argc, char** argv);

    // Start-up: runs the main window until it closes, with startFile (the command line's FILE,
    // may be empty) selected. Returns false: no further loop follows.
    virtual bool InitInstance(const QString& startFile = QString());

    static bool DiagnosticsWanted();

  private:
    // What must be settled before the application object exists.
    static int& PrepareProcess(int& argc);
};
