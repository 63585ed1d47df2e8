// Searching a regular file stretch by stretch, each stretch brought in the way
// that costs least on this machine and for this file's pages: read() into a
// buffer, or one memory map of the whole file whose pages are released
// behind the search, so that memory stays within a few MiB.
#pragma once

#include <cstdint>
#include <cstdio>

#include "block_buffer.hpp"
#include "reading/extents.hpp"
#include "reading/file_access.hpp"
#include "reading/mapped_view.hpp"
#include "reading/read_choice.hpp"
#include "stream_search.hpp"

namespace bytehunt {

struct file_scan_result {
    // complete: the stretches ended at `next_offset`; write_failed: the sink
    // failed.
    scan_outcome outcome;
    // Every start before it was searched and its occurrences handed on. The
    // rest of the input (the last bytes, whatever a file grew by, the rest of
    // a file that shrank or failed to read, or all of an input that is not a
    // regular file) is read on from here.
    std::uint64_t next_offset;
    // Bytes each way brought in, by read_way.
    std::uint64_t brought[read_way_count];
};

// Bytes whose starts one stretch decides.
constexpr std::size_t default_stretch_size = std::size_t{1} << 20;

// Bytes whose starts one copied stretch decides: small enough that what is
// copied is still in the core's own cache when it is searched.
constexpr std::size_t default_copy_size = std::size_t{256} << 10;

// How a scan reads: the ways it may choose from, and the bytes whose starts
// each stretch decides, mapped or copied.
// A file that must come from the disk is asked for this far ahead of the
// search, so that the disk has many reads in flight whoever reads where.
constexpr std::size_t default_read_ahead = std::size_t{32} << 20;

// How a scan reads: the ways it may choose from, the bytes whose starts each
// stretch decides, mapped or copied, and how far ahead of the search the
// file's pages are asked for (0: as the system sees fit).
struct read_settings {
    unsigned ways = all_read_ways;
    std::size_t stretch_size = default_stretch_size;
    std::size_t copy_size = default_copy_size;
    std::size_t read_ahead = 0;
    // The file has holes: nothing is read ahead but what read_ahead asks for.
    bool holes = false;
};

// A regular file open for reading, and its size when the scan began: bytes
// past that are never touched.
struct open_file {
    int descriptor;
    std::uint64_t size;
};

// Searches the regular file open as `stream` up to the size it has now. Its
// holes are never read: a needle with a byte other than 00 cannot lie wholly
// in one, and one of zeros only lies at every needle length of it. An offset found in mapped memory is handed
// on only while the file still holds the whole occurrence: a file that shrinks under the map leaves the rest
// to read(), which finds its true end. Pipes and devices and empty needles return at 0; Windows and 32-bit
// builds only copy.
file_scan_result scan_regular_file(std::FILE* stream, searcher& finder, offset_sink& sink,
                                   const read_settings& settings = {});

// The starts [first, end) of a file.
struct file_range {
    std::uint64_t first;
    std::uint64_t end;
};

// What a thread that scans many ranges of one file in turn keeps from one to
// the next: the way of reading it chose, the buffer it copies into, what
// the system said of the file's holes, and the map of the whole file that
// its ranges borrow, if any.
struct range_tools {
    range_tools(const open_file& file, unsigned ways, std::size_t buffer_size, shared_file_map* map = nullptr)
        : chooser(ways), buffer(buffer_size), extents(file.descriptor, file.size), map(map) {}
    read_way_chooser chooser;
    block_buffer buffer;
    file_extents extents;
    shared_file_map* map;
};

// Decides the starts in `range` of `file`, as scan_regular_file does:
// `next_offset` is past every start decided, at or past range.end unless
// the file shrank or a read failed. `tools`, if given, are used and kept up
// to date.
file_scan_result scan_file_range(const open_file& file, file_range range, searcher& finder, offset_sink& sink,
                                 const read_settings& settings = {}, range_tools* tools = nullptr);

}  // namespace bytehunt
