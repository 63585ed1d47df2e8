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
    const unsigned used = current_;
    const bool judged =
        settled_ && used == kept_ ? judge_kept(bytes, nanoseconds) : judge_try(bytes, nanoseconds);
    if (!judged) return;
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
        // tried again soon, the later the further behind they are.
        settled_ = true;
        for (unsigned k = 0; k < way_count_; ++k) wait_to_retry(k, first_retry, bytes, cheapest);
        keep(cheapest);
    } else {
        // A way tried again: one that loses waits longer before its next
        // try (the longer the further behind), one that wins does not.
        if (used != kept_) {
            if (used == cheapest) {
                retry_after_[used] = first_retry;
                retry_in_[used] = first_retry;
            } else {
                wait_to_retry(used, retry_after_[used] * 2, bytes, cheapest);
            }
        }
        // The kept way is left once it costs clearly more (an eighth) than
        // another was last seen to cost.
        if (seen_[kept_] * 8 > seen_[cheapest] * 9) keep(cheapest);
    }
    choose_next();
}

// A stretch brought in the way kept: its cost is judged on the mean of
// judged_bytes. False (and the next way chosen) until that many were seen.
bool read_way_chooser::judge_kept(std::size_t bytes, std::uint64_t nanoseconds) {
    for (unsigned k = 0; k < way_count_; ++k) retry_in_[k] -= retry_in_[k] < bytes ? retry_in_[k] : bytes;
    kept_bytes_ += bytes;
    kept_ns_ += nanoseconds;
    if (kept_bytes_ < judged_bytes) {
        choose_next();
        return false;
    }
    const std::uint64_t cost = kept_ns_ * 1000 / kept_bytes_ + 1;
    seen_[kept_] = kept_last_ != 0 && kept_last_ < cost ? kept_last_ : cost;
    kept_last_ = cost;
    kept_bytes_ = 0;
    kept_ns_ = 0;
    return true;
}

// A try. A copy's first stretch after maps finds its buffer out of the
// core's cache (up to twice the cost of the next): the copy is tried on two
// stretches, and judged on the cheaper. False after the first of them.
bool read_way_chooser::judge_try(std::size_t bytes, std::uint64_t nanoseconds) {
    const std::uint64_t cost = nanoseconds * 1000 / bytes + 1;
    if (ways_[current_] == read_way::copy && first_copy_try_ == 0) {
        first_copy_try_ = cost;
        return false;
    }
    seen_[current_] = first_copy_try_ != 0 && first_copy_try_ < cost ? first_copy_try_ : cost;
    first_copy_try_ = 0;
    return true;
}

// Bytes until `way` is tried again, after a try of `bytes` that it lost
// (waiting `after` at the least): what the try cost beyond the way kept is
// spread over try_share times as many bytes.
void read_way_chooser::wait_to_retry(unsigned way, std::uint64_t after, std::size_t bytes,
                                     unsigned cheapest) {
    const bool far = seen_[way] >= 2 * seen_[cheapest];
    const std::uint64_t dearer = seen_[way] > seen_[cheapest] ? seen_[way] - seen_[cheapest] : 0;
    const std::uint64_t spread = try_share * bytes * dearer / seen_[cheapest];
    if (spread > after) after = spread;
    const std::uint64_t last = far ? last_retry_far : last_retry_near;
    retry_after_[way] = after < last ? after : last;
    retry_in_[way] = retry_after_[way];
}

void read_way_chooser::keep(unsigned way) {
    if (way == kept_) return;
    // The way left is tried again soon: the region that made it dear may end.
    retry_after_[kept_] = first_retry;
    retry_in_[kept_] = first_retry;
    // Its first mean is judged alone: what it was last seen to cost may be
    // out of date.
    kept_last_ = 0;
    kept_bytes_ = 0;
    kept_ns_ = 0;
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
