// The command-line arguments as UTF-8 strings, on every platform.
#pragma once

namespace bytehunt {

// On POSIX systems, `argv` as given. On Windows, the arguments are taken
// from the wide command line and converted to UTF-8, so that a path with
// characters outside the ANSI code page reaches open_input intact, and a
// character that the ANSI conversion would squeeze into a hex digit cannot
// turn an invalid search string into a valid one. `argc` is updated to match.
char** utf8_arguments(int& argc, char** argv);

}  // namespace bytehunt
