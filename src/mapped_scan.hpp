// Searching a regular file where it lies in the page cache, through memory
// maps of a few MiB at a time: no copy into a buffer, so a cached file is
// searched faster than read() can deliver it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stream_search.hpp"

namespace bytehunt {

struct mapped_scan_result {
    // complete: the maps ended, at `next_offset`; write_failed: the sink failed.
    scan_outcome outcome;
    // Every start before it was searched and its occurrences handed on. The
    // rest of the input (bytes that came after the maps, a file that grew,
    // or everything when maps are refused) is read from here.
    std::uint64_t next_offset;
};

// Searches the regular file open as `stream` up to the size it has now,
// without moving the stream.
// If the file shrinks under the scan, the map faults (SIGBUS); that is caught
// and the scan stops early at the last offset decided, and reading on from
// there finds the file's true end. Not for pipes or devices: returns at 0.
// On systems without memory maps, and in 32-bit builds, always returns at 0.
mapped_scan_result scan_mapped(std::FILE* stream, searcher& finder, offset_sink& sink);

}  // namespace bytehunt
