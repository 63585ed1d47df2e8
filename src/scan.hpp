// Searching one open file for search_pattern and printing the report.
#pragma once

#include <cstdio>

#include "stream_search.hpp"

struct scan_result {
    bytehunt::scan_outcome outcome;
    int error_code;  // errno of a failed write, 0 otherwise
};

// Searches `stream`, open at its start, to its end and prints the header and
// one line per occurrence of search_pattern to standard output. The stream
// stays open. Offsets already printed stay printed when a read fails.
scan_result scan_file(std::FILE* stream);
