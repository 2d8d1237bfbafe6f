#pragma once
// The FILE the program is started with (from a file manager's "Open With" or a terminal): made
// absolute and opened for reading by the file stream, as an operation would open it, so a file
// that cannot be used is reported with the stream's own words.

#include <QString>
#include <string>
#include <utility>
#include <vector>

#include "filestream/notify.h"

struct StartFile {
    QString path;  // absolute
    bool usable = false;
    // What the stream had to say when it could not open the file, held for showing later.
    std::vector<std::pair<std::u16string, MessageButtons>> messages;
};

StartFile ProbeStartFile(const QString& argument);
