#include "read_choice.hpp"

#include <initializer_list>

namespace bytehunt {

read_way_chooser::read_way_chooser(unsigned ways) {
    if ((ways & all_read_ways) == 0) ways = way_bit(read_way::copy);
    for (const read_way way : {read_way::copy, read_way::map, read_way::populated_map}) {
        if ((ways & way_bit(way)) != 0) ways_[way_count_++] = way;
    }
}

read_way read_way_chooser::next() const {
    // A trial takes the ways in turn, the one kept so far first, so that a
    // change in the data between stretches weighs on every way alike.
    if (stretch_ < trial_rounds * way_count_) return ways_[(kept_ + stretch_) % way_count_];
    return ways_[kept_];
}

void read_way_chooser::record(std::size_t bytes, std::uint64_t nanoseconds) {
    const unsigned trial_stretches = trial_rounds * way_count_;
    if (way_count_ > 1 && bytes > 0 && stretch_ < trial_stretches) {
        // A way's lowest cost: what it takes when nothing else (an
        // interrupt, another process) got in its way.
        std::uint64_t& best = best_[(kept_ + stretch_) % way_count_];
        const std::uint64_t cost = nanoseconds * 1000 / bytes + 1;
        if (best == 0 || cost < best) best = cost;
        if (stretch_ + 1 == trial_stretches) {
            for (unsigned k = 0; k < way_count_; ++k) {
                if (best_[k] < best_[kept_]) kept_ = k;
            }
            for (std::uint64_t& cost_seen : best_) cost_seen = 0;
        }
    }
    if (++stretch_ == trial_stretches + settled_stretches) stretch_ = 0;
}

}  // namespace bytehunt
