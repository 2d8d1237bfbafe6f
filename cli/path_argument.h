#pragma once
// File names from the command line. On Linux a name is bytes and need not be UTF-8 (names from old
// archives are often Latin-1), so the conversion must be lossless: the file layer gets back the
// exact bytes the user gave.

#include <string>
#include <string_view>

// The path for a command-line argument: valid UTF-8 becomes the same text, and every byte that is
// not part of valid UTF-8 becomes one lone surrogate U+DC80..U+DCFF standing for it.
std::u16string PathFromArgument(std::string_view bytes);
