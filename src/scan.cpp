#include "scan.hpp"

#include "mapped_scan.hpp"
#include "pattern.hpp"
#include "report.hpp"

scan_result scan_file(std::FILE* stream) {
    bytehunt::searcher finder(search_pattern.bytes, search_pattern.byte_count);
    // Static: the report's buffer is too large for a comfortable stack frame.
    static bytehunt::report_writer report(stdout);
    // A regular file is searched where it lies, as far as it reaches now;
    // whatever is left (all of a pipe, the end of a file that grew or shrank)
    // is read from there on.
    const bytehunt::mapped_scan_result mapped = bytehunt::scan_mapped(stream, finder, report);
    bytehunt::scan_outcome outcome = mapped.outcome;
    if (outcome == bytehunt::scan_outcome::complete) {
        bytehunt::stream_source source(stream);
        outcome = source.seek(mapped.next_offset)
                      ? bytehunt::search_stream(finder, source, report, bytehunt::default_block_size,
                                                mapped.next_offset)
                      : bytehunt::scan_outcome::read_failed;
    }
    if (!report.flush()) outcome = bytehunt::scan_outcome::write_failed;
    return {outcome, report.error_code()};
}
