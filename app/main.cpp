#include "encryption_app.h"

int main(int argc, char** argv) {
    CEncryptionApp app(argc, argv);
    app.InitInstance();
    return 0;
}
