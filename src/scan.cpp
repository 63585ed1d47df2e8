#include "scan.hpp"

#include "pattern.hpp"
#include "report.hpp"

scan_result scan_file(std::FILE* stream) {
    bytehunt::searcher finder(search_pattern.bytes, search_pattern.byte_count);
    bytehunt::stream_source source(stream);
    // Static: the report's buffer is too large for a comfortable stack frame.
    static bytehunt::report_writer report(stdout);
    bytehunt::scan_outcome outcome = bytehunt::search_stream(finder, source, report);
    if (!report.flush()) outcome = bytehunt::scan_outcome::write_failed;
    return {outcome, report.error_code()};
}
