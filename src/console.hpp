// Messages on standard output that may hold any text the user typed (a path).
#pragma once

#include <string>

namespace bytehunt {

// Writes UTF-8 `text` to standard output. On Windows, when standard output
// is a console, the text goes through the console's wide-character interface,
// so that a path such as "Документ.bin" shows as typed whatever the console's
// code page; redirected to a file or a pipe, the UTF-8 bytes are written.
// Failures show in ferror(stdout), as for any other write to it.
void print_text(const std::string& text);

// UTF-8 as UTF-16, each line ending in CR LF as console text does. A byte
// that does not belong to a valid UTF-8 sequence becomes U+FFFD.
std::u16string console_text(const std::string& text);

}  // namespace bytehunt
