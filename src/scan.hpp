// Searching one open file for search_pattern and printing the report.
#pragma once

#include <cstdio>

#include "reading/file_scan.hpp"
#include "stream_search.hpp"

struct scan_result {
    bytehunt::scan_outcome outcome;
    int error_code;  // errno of a failed write, 0 otherwise
};

// Searches `stream`, open at its start, to its end and prints the header and
// one line per occurrence of search_pattern to standard output. The stream
// stays open. Offsets already printed stay printed when a read fails.
scan_result scan_file(std::FILE* stream);

namespace bytehunt {

// The scan without the report: a regular file stretch by stretch in the
// ways `settings` allow, as far as it reaches now, in `parts` searched side by side
// (0: as many as the cores where that pays); then whatever is left (all of a
// pipe, the end of a file that grew, shrank or failed) read on from there.
scan_outcome scan_input(std::FILE* stream, searcher& finder, offset_sink& sink,
                        const read_settings& settings = {}, unsigned parts = 0);

}  // namespace bytehunt
