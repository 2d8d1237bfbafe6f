// Shows the real main window with some values filled in, waits until the page shows them and
// saves a picture of the window:  vyx-screenshot <output.png>
// Also prints how long the process took from its start until the page was shown.
#include <QFile>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "encryption_app.h"
#include "main_dialog.h"
#include "process_clock.h"

int main(int argc, char** argv) {
    CEncryptionApp app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.png>\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    CMainDialog dialog;
    PageFields& fields = dialog.Fields();
    fields.inputFile = u"/home/alex/Documents/report.doc";
    fields.outputFile = u"/home/alex/Documents/report_encr.doc";
    fields.key = u"3F0A.91C2.7B44.E05D";
    fields.completeText = u"Complete";
    fields.complete = u"100 %";
    dialog.WritePageFields();

    int status = 1;
    QObject::connect(&dialog, &CDHtmlDialog::pageShown, [&] {
        std::printf("page shown %.0f ms after the process started\n",
                    SecondsSinceProcessStart() * 1000.0);
    });
    QObject::connect(&dialog, &CDHtmlDialog::pageSynced, [&] {
        // Give the view a moment to paint the values it has just been given.
        QTimer::singleShot(500, &dialog, [&] {
            status = dialog.grab().save(output, "PNG") ? 0 : 1;
            if (status != 0) std::fprintf(stderr, "cannot write %s\n", argv[1]);
            dialog.EndDialog(2);
        });
    });
    QTimer::singleShot(60000, &dialog, [&] {
        std::fprintf(stderr, "the page did not show\n");
        dialog.EndDialog(2);
    });
    dialog.DoModal();
    return status;
}
