#pragma once
// File names as the command line shows them, quoted the way GNU tools quote names in their
// messages (the "shell-escape" style): a plain name as it is, a name with shell-special
// characters in single quotes, and control characters or bytes that are not UTF-8 as $'\n' or
// $'\377' escapes. What is shown is one line, can be pasted back into a shell, and lets no escape
// sequence of a name reach the terminal.

#include <string>
#include <string_view>

// The name (bytes as the system has them) quoted for a message.
std::string QuoteName(std::string_view name);

// The text with every control character left in it shown as '?': a message stays one line.
std::string WithoutControls(std::string_view text);
