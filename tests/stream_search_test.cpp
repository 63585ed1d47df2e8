// How the scan walks a stream: resuming after a broken partial match, never
// overlapping, across block boundaries, and what it does when reading or
// reporting fails.
#include <gtest/gtest.h>

#include "memory_source.hpp"

namespace {

using bytes = std::vector<std::uint8_t>;
using offsets = std::vector<std::uint64_t>;
using test_support::memory_source;
using test_support::scanned_offsets;
using test_support::vector_sink;

TEST(StreamSearch, FindsEveryOccurrenceWithoutOverlap) {
    struct scan_case {
        bytes needle;
        bytes haystack;
        offsets expected;
    };
    const scan_case cases[] = {
        {{0x0d, 0x0a}, {0x61, 0x62, 0x0d, 0x0a, 0x63, 0x64, 0x0d, 0x0a, 0x65, 0x66}, {2, 6}},
        // An occurrence that begins inside a broken partial match.
        {{0x41, 0x42}, {0x41, 0x41, 0x42}, {1}},
        {{0x41, 0x41, 0x42}, {0x41, 0x41, 0x41, 0x42}, {1}},
        {{0x61, 0x62, 0x61, 0x63}, {0x61, 0x62, 0x61, 0x62, 0x61, 0x63}, {2}},
        // Reported occurrences never overlap.
        {{0x41, 0x41}, {0x41, 0x41, 0x41, 0x41}, {0, 2}},
        {{0x41, 0x41}, {0x41, 0x41, 0x41}, {0}},
        {{0x41}, {0x41, 0x00, 0x41, 0x41}, {0, 2, 3}},
        // Ends on the last byte; NUL and 1A are ordinary bytes.
        {{0x00, 0x1a}, {0x1a, 0x00, 0x00, 0x1a}, {2}},
        {{0x00}, {}, {}},
        {{0x01, 0x02, 0x03}, {0x01, 0x02}, {}},
        // An empty pattern never occurs.
        {{}, {0x41, 0x42}, {}},
    };
    for (const scan_case& c : cases) {
        for (std::size_t block = 1; block <= 8; ++block) {
            for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, SIZE_MAX}) {
                EXPECT_EQ(scanned_offsets(c.haystack, c.needle, bytehunt::best_cpu_path(), block, chunk),
                          c.expected)
                    << "block " << block << " chunk " << chunk;
            }
        }
    }
}

TEST(StreamSearch, ABlockWithMoreOccurrencesThanABatchHoldsLosesNone) {
    // More occurrences in one block than a batch of 4096 holds; with 8194
    // bytes, the pair that fills the batch lies in the kernel's last bytes.
    for (const std::size_t size : {std::size_t{5000}, std::size_t{8194}, std::size_t{12000}}) {
        const bytes haystack(size, 0x00);
        for (const bytes& needle : {bytes{0x00}, bytes{0x00, 0x00}}) {
            for (bytehunt::cpu_path path : bytehunt::all_cpu_paths) {
                if (!bytehunt::cpu_path_supported(path)) continue;
                EXPECT_EQ(scanned_offsets(haystack, needle, path, 1 << 16),
                          test_support::reference_offsets(haystack, needle))
                    << size << " bytes, needle of " << needle.size();
            }
        }
    }
}

TEST(StreamSearch, ReadFailureKeepsTheOffsetsFoundBeforeIt) {
    const bytes needle = {0x41, 0x42};
    bytes haystack(1000, 0x00);
    haystack[10] = 0x41, haystack[11] = 0x42;
    haystack[900] = 0x41, haystack[901] = 0x42;
    bytehunt::searcher finder(needle.data(), needle.size());
    memory_source source(haystack, 64, 500);
    vector_sink sink;
    EXPECT_EQ(bytehunt::search_stream(finder, source, sink, 64), bytehunt::scan_outcome::read_failed);
    EXPECT_EQ(sink.offsets_, offsets{10});
}

TEST(StreamSearch, OutputFailureStopsTheScan) {
    const bytes needle = {0x00};
    bytehunt::searcher finder(needle.data(), needle.size());
    memory_source source(bytes(1 << 20, 0x00));
    vector_sink sink(0);
    EXPECT_EQ(bytehunt::search_stream(finder, source, sink, 4096), bytehunt::scan_outcome::write_failed);
    EXPECT_LT(source.position(), std::size_t{1} << 20);
}

}  // namespace
