// The search as the tool runs it, with the ways of reading a regular file
// forced, for benchmarks that set each way beside the tool's own choice.
// Prints the same report as the tool.
// Usage: forced_ways copy|map|populated|all HEX FILE
#include <cstdio>
#include <cstring>

#include "input.hpp"
#include "pattern.hpp"
#include "report.hpp"
#include "scan.hpp"

int main(int argc, char** argv) {
    using bytehunt::read_way;
    using bytehunt::way_bit;
    const struct {
        const char* name;
        unsigned ways;
    } choices[] = {{"copy", way_bit(read_way::copy)},
                   {"map", way_bit(read_way::map)},
                   {"populated", way_bit(read_way::populated_map)},
                   {"all", bytehunt::all_read_ways}};
    unsigned ways = 0;
    for (const auto& choice : choices) {
        if (argc == 4 && std::strcmp(argv[1], choice.name) == 0) ways = choice.ways;
    }
    if (ways == 0 || parse_search_string(argv[2]) != parse_ok) {
        std::fputs("usage: forced_ways copy|map|populated|all HEX FILE\n", stderr);
        return 1;
    }
    std::FILE* stream = bytehunt::open_input(argv[3]);
    if (stream == nullptr) {
        std::fprintf(stderr, "cannot open %s\n", argv[3]);
        return 2;
    }
    bytehunt::searcher finder(search_pattern.bytes, search_pattern.byte_count);
    static bytehunt::report_writer report(stdout);
    const bytehunt::scan_outcome outcome = bytehunt::scan_input(stream, finder, report, {ways});
    std::fclose(stream);
    return outcome == bytehunt::scan_outcome::complete && report.flush() ? 0 : 2;
}
