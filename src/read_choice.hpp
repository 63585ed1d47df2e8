// How a regular file's bytes reach the search: copied by read() into a
// buffer, or seen where they lie through a memory map whose pages come in as
// the search touches them, or all at once before it. Which costs least
// depends on the machine and on how the file's pages came into the page
// cache (just written, copied, read back from disk), so it is measured
// rather than assumed: every way is tried on the first stretches of the
// file, the cheapest is kept, and all are tried again from time to time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bytehunt {

enum class read_way { copy, map, populated_map };
constexpr std::size_t read_way_count = 3;

// A set of ways, one bit each.
constexpr unsigned way_bit(read_way way) {
    return 1u << static_cast<unsigned>(way);
}
constexpr unsigned all_read_ways = (1u << read_way_count) - 1;

class read_way_chooser {
public:
    // `ways`: the ways it may choose from; none means the copy.
    explicit read_way_chooser(unsigned ways);

    // The way to bring in the next stretch.
    read_way next() const;
    // What the stretch that next() chose cost: `nanoseconds` for `bytes`.
    void record(std::size_t bytes, std::uint64_t nanoseconds);

    // Rounds in a trial: each way is tried this often, in turn.
    static constexpr unsigned trial_rounds = 2;
    // Stretches between two trials.
    static constexpr unsigned settled_stretches = 128;

private:
    read_way ways_[read_way_count];
    unsigned way_count_ = 0;
    unsigned kept_ = 0;     // index in ways_ of the way kept
    unsigned stretch_ = 0;  // stretches since the last trial began
    // The lowest cost per byte each way showed in the current trial, in
    // picoseconds; 0 while that way is untried.
    std::uint64_t best_[read_way_count] = {};
};

}  // namespace bytehunt
