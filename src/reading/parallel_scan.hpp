// Searching a large regular file on several cores at once. The file is dealt
// out in chunks to a thread per core, a few chunks ahead of the report; the
// thread that finishes the first chunk in file order hands its offsets on,
// and those of the finished chunks behind it. The sink receives exactly the
// offsets, in the order, that one search from the start would.
#pragma once

#include <cstdint>

#include "reading/file_scan.hpp"

namespace bytehunt {

// Cores this process may run on (its CPU affinity, not the machine's count).
unsigned usable_cores();

// Files smaller than this are searched by one thread when occurrences are
// sparse: below it, a second thread cost about as much to start and to wake
// as it saved (measured on 1 to 256 MiB of cached data).
constexpr std::uint64_t parallel_threshold = std::uint64_t{128} << 20;
// Dense output (lines to format take most of the time) pays from here on.
constexpr std::uint64_t parallel_minimum = std::uint64_t{4} << 20;

// Searches the starts of `file` on `parts` threads, `finder` searching the
// first bytes on this one. When `measured`, how densely those bytes hold
// occurrences decides whether threads pay (else they are used regardless).
// Returns as scan_regular_file does: `next_offset` is past every start
// decided, short of `size` when the file shrank or a read failed in some
// chunk; offsets past that point are never handed on.
file_scan_result scan_in_parts(const open_file& file, searcher& finder, offset_sink& sink, unsigned parts,
                               const read_settings& settings = {}, bool measured = true);

}  // namespace bytehunt
