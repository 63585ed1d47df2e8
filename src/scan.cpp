#include "scan.hpp"

#include <algorithm>
#include <new>

#include "pattern.hpp"
#include "reading/parallel_scan.hpp"
#include "report.hpp"

namespace bytehunt {

namespace {
// Files from this size on are checked for pages in the page cache, on their
// first MiBs; smaller ones come in with the system's own read-ahead.
constexpr std::uint64_t cold_check_minimum = std::uint64_t{8} << 20;
constexpr std::uint64_t cold_check_size = std::uint64_t{8} << 20;

// How a large file is read, from its holes and the page cache. A file with
// holes is read ahead by the scan alone, and only its data: the system's own
// read-ahead runs on from the data into the holes, and fills the page cache
// with their zeros. A file without holes whose first pages are not in the page
// cache comes from the disk: it is asked for well ahead of the search.
void plan_reading(int descriptor, std::uint64_t size, read_settings& reading) {
    file_extents extents(descriptor, size);
    const std::uint64_t first = next_data(extents, 0, size);
    reading.holes = first > 0 || extents.at(first).end < size;
    if (reading.holes ||
        mostly_uncached(descriptor, 0,
                        static_cast<std::size_t>(std::min<std::uint64_t>(size, cold_check_size))))
        reading.read_ahead = default_read_ahead;
}

}  // namespace

scan_outcome scan_input(std::FILE* stream, searcher& finder, offset_sink& sink, const read_settings& settings,
                        unsigned parts) {
    const std::uint64_t size = file_size(fileno(stream));
    const bool measured = parts == 0;
    if (measured) parts = size >= parallel_minimum ? usable_cores() : 1;
    read_settings reading = settings;
    if (measured && size >= cold_check_minimum) plan_reading(fileno(stream), size, reading);
    const file_scan_result stretches =
        parts > 1 && size > 0 && finder.needle_length() > 0
            ? scan_in_parts({fileno(stream), size}, finder, sink, parts, reading, measured)
            : scan_regular_file(stream, finder, sink, reading);
    if (stretches.outcome != scan_outcome::complete) return stretches.outcome;
    stream_source source(stream);
    // A regular file is read on from where the stretches stopped (Windows
    // reads them at their offsets but moves the file's position all the
    // same); other inputs were never touched, and may not seek.
    if ((size > 0 || stretches.next_offset > 0) && !source.seek(stretches.next_offset))
        return scan_outcome::read_failed;
    // After the stretches, only the last few bytes of a regular file are
    // left (and whatever it grew by): a small block does for them.
    constexpr std::size_t tail_block_size = std::size_t{64} << 10;
    const std::size_t block_size =
        size > 0 && stretches.next_offset > 0 ? tail_block_size : default_block_size;
    return search_stream(finder, source, sink, block_size, stretches.next_offset);
}

}  // namespace bytehunt

scan_result scan_file(std::FILE* stream) {
    bytehunt::searcher finder(search_pattern.bytes, search_pattern.byte_count);
    // Static: the report's buffer is too large for a comfortable stack frame.
    static bytehunt::report_writer report(stdout);
    bytehunt::scan_outcome outcome = bytehunt::scan_outcome::complete;
    try {
        outcome = bytehunt::scan_input(stream, finder, report);
    } catch (const std::bad_alloc&) {
        // Out of memory part way: the offsets found up to there go out
        // before the run stops, so that what was printed is all there was.
        report.flush();
        throw;
    }
    if (!report.flush()) outcome = bytehunt::scan_outcome::write_failed;
    return {outcome, report.error_code()};
}
