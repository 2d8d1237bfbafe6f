#pragma once
// The application object: one for the whole run; start-up shows the main window modally and the
// program ends when it closes.

#include <QApplication>

class CEncryptionApp : public QApplication {
    Q_OBJECT
  public:
    CEncryptionApp(int& argc, char** argv);

    // Start-up: runs the main window until it closes. Returns false: no further loop follows.
    virtual bool InitInstance();

  private:
    // What must be settled before the application object exists.
    static int& PrepareProcess(int& argc);
};
