#include <QStringList>
#include <cstdio>

#include "encryption_app.h"

int main(int argc, char** argv) {
    CEncryptionApp app(argc, argv);
    // What the toolkit has left of the command line: at most the file to start with.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 2) {
        std::fputs("usage: vyx-encryption [FILE]\n", stderr);
        return 2;
    }
    app.InitInstance(arguments.value(1));
    return 0;
}
