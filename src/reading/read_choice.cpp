#include "reading/read_choice.hpp"

#include <initializer_list>

namespace bytehunt {

read_way_chooser::read_way_chooser(unsigned ways) {
    if ((ways & all_read_ways) == 0) ways = way_bit(read_way::copy);
    for (const read_way way : {read_way::copy, read_way::map, read_way::populated_map}) {
        if ((ways & way_bit(way)) != 0) ways_[way_count_++] = way;
    }
    for (std::uint64_t& bytes : retry_after_) bytes = first_retry;
}

void read_way_chooser::record(std::size_t bytes, std::uint64_t nanoseconds) {
    if (way_count_ == 1 || bytes == 0) return;
    if (!warmed_up_) {
        // The very first stretch pays for what any first one does (fresh
        // buffer pages, the search's first choices): up to 45 times a
        // stretch's cost, which would rule its way out. It is not judged;
        // the same way brings in the next one.
        warmed_up_ = true;
        return;
    }
    std::uint64_t cost = nanoseconds * 1000 / bytes + 1;
    // A map costs more than its stretches show: unmapping it, and on several
    // threads the flushes of the other cores' address caches that dropping
    // pages sends. Measured on pages read back from disk, maps that timed
    // within 10% of the copy took 1.25 times as long in all.
    if (ways_[current_] != read_way::copy) cost = cost * 9 / 8;
    const unsigned used = current_;
    if (used == kept_) {
        seen_[used] = kept_last_ != 0 && kept_last_ < cost ? kept_last_ : cost;
        kept_last_ = cost;
        for (unsigned k = 0; k < way_count_; ++k) {
            retry_in_[k] -= retry_in_[k] < bytes ? retry_in_[k] : bytes;
        }
    } else {
        seen_[used] = cost;
    }
    unsigned cheapest = kept_;
    for (unsigned k = 0; k < way_count_; ++k) {
        if (seen_[k] == 0) {  // the first stretches try every way once
            current_ = k;
            return;
        }
        if (seen_[k] < seen_[cheapest]) cheapest = k;
    }
    if (!settled_) {
        // Every way tried once: the cheapest is kept, and the others are
        // tried again soon.
        settled_ = true;
        for (std::uint64_t& bytes_left : retry_in_) bytes_left = first_retry;
        keep(cheapest);
    } else {
        if (used != kept_) {
            // A way tried again: one that loses waits longer before its
            // next try (the longer the further behind), one that wins does not.
            const bool far = seen_[used] >= 2 * seen_[kept_];
            const std::uint64_t last = far ? last_retry_far : last_retry_near;
            const std::uint64_t after = cheapest == used ? first_retry : retry_after_[used] * (far ? 4 : 2);
            retry_after_[used] = after < last ? after : last;
            retry_in_[used] = retry_after_[used];
        }
        // The kept way is left once it costs clearly more (an eighth) than
        // another was last seen to cost.
        if (seen_[kept_] * 8 > seen_[cheapest] * 9) keep(cheapest);
    }
    choose_next();
}

void read_way_chooser::keep(unsigned way) {
    if (way == kept_) return;
    // The way left is tried again soon: the region that made it dear may end.
    retry_after_[kept_] = first_retry;
    retry_in_[kept_] = first_retry;
    // Its first stretch is judged alone: what it was last seen to cost may
    // be out of date.
    kept_last_ = 0;
    kept_ = way;
}

void read_way_chooser::choose_next() {
    current_ = kept_;
    for (unsigned k = 0; k < way_count_; ++k) {
        if (k != kept_ && retry_in_[k] == 0) {
            current_ = k;
            return;
        }
    }
}

}  // namespace bytehunt
