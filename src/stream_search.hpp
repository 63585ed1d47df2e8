// The scan itself: pulls blocks from a byte source, finds every occurrence,
// and hands the offsets on. No file and no output of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input.hpp"
#include "search/searcher.hpp"

namespace bytehunt {

// Receives offsets in ascending order, a batch at a time. Returns false when
// it can take no more (its output failed); the scan then stops.
class offset_sink {
public:
    virtual ~offset_sink() = default;
    virtual bool accept(const std::uint64_t* offsets, std::size_t count) = 0;
    // The same, with the offsets' report lines already formatted, one after
    // another in `lines`: a sink that writes lines may take them as they are.
    virtual bool accept_lines(const std::uint64_t* offsets, std::size_t count, const char* /*lines*/,
                              std::size_t /*lines_length*/) {
        return accept(offsets, count);
    }
    // Whether accept_lines() takes the lines alone, never reading the
    // offsets: then a search in chunks keeps only the few offsets it needs
    // to line chunks up, not one for every line.
    virtual bool takes_lines() const { return false; }
    // Called after each block, before the scan waits for more input: what
    // was accepted should reach its reader now, so that on a terminal or a
    // live pipe each offset shows soon after its bytes were read.
    virtual bool flush() { return true; }
};

enum class scan_outcome { complete, read_failed, write_failed };

// Large enough that each read costs little, small enough to stay in cache.
constexpr std::size_t default_block_size = std::size_t{512} * 1024;

// Hands every occurrence in `data` (the input's bytes from offset `base`)
// that starts at or after `from` to the sink, a batch at a time, then flushes
// the sink. `from` becomes the first start not decided: past the last one
// tried, or past the last occurrence. False if the sink failed.
bool search_block(searcher& finder, const std::uint8_t* data, std::size_t length, std::uint64_t base,
                  std::size_t& from, offset_sink& sink);

// Reports the leftmost occurrence, resumes right after its last byte, and
// repeats until the source ends: occurrences never overlap, and one that
// straddles two blocks is found. The source's first byte is at input offset
// `start_offset`, and every start before it counts as decided.
scan_outcome search_stream(searcher& finder, byte_source& source, offset_sink& sink,
                           std::size_t block_size = default_block_size, std::uint64_t start_offset = 0);

}  // namespace bytehunt
