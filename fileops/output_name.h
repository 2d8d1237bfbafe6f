#pragma once
// Output naming: the path proposed for the result of encrypting or decrypting a chosen file.
// Toolkit-free: the window, the command line, tests and fuzz targets all use this one rule.

#include <string>
#include <string_view>

// Proposes the output path for inputPath, in the same folder ("/" separates folders):
// "report.doc" -> "report_encr.doc", "report_encr.doc" -> "report_decr.doc",
// "notes" -> "notes_encr". Only the file name is changed; dots in folder names are ignored.
std::u16string ProposeOutputName(std::u16string_view inputPath);
