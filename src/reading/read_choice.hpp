// How a regular file's bytes reach the search: copied by read() into a
// buffer, or seen where they lie through a memory map whose pages come in as
// the search touches them, or all at once before it. Which costs least
// depends on the machine and on how the file's pages came into the page
// cache (just written, copied, read back from disk), and it may change from
// one region of a file to the next, so it is measured rather than assumed:
// every stretch is timed, the way kept is judged on the mean of every few of
// them, and the others are tried again now and then, the more seldom the
// further behind they are. A way is judged on its stretches alone: what its
// maps cost the other threads (the flushes of their address caches that
// unmapping sends) shows in their stretches, which use the same way once
// every thread has settled. Maps counted at 5/4 of their time for it left
// the copy kept where maps were 10 to 15% faster in all (a file just
// written, or copied: 1.11 to 1.13 times the map alone, medians of 11).
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
    read_way next() const { return ways_[current_]; }
    // Whether next() tries a way other than the one kept.
    bool trying() const { return current_ != kept_; }
    // What the stretch that next() chose cost: `nanoseconds` for `bytes`.
    void record(std::size_t bytes, std::uint64_t nanoseconds);

    // Bytes searched the way kept between two tries of another way: from
    // the first, doubled after each try that loses, up to the last. A way
    // far behind waits longer, so that what its tries cost over the bytes
    // searched the kept way in between stays within 1/try_share, and up to
    // a larger last.
    static constexpr std::uint64_t first_retry = std::uint64_t{8} << 20;
    static constexpr std::uint64_t last_retry_near = std::uint64_t{64} << 20;
    static constexpr std::uint64_t last_retry_far = std::uint64_t{512} << 20;
    static constexpr std::uint64_t try_share = 128;
    // The way kept is judged on the mean cost of at least this many bytes:
    // mapped pages may come in large pages of 2 MiB, whose first stretch
    // pays for the whole page and whose next ones cost next to nothing.
    static constexpr std::uint64_t judged_bytes = std::uint64_t{2} << 20;

private:
    bool judge_kept(std::size_t bytes, std::uint64_t nanoseconds);
    bool judge_try(std::size_t bytes, std::uint64_t nanoseconds);
    void wait_to_retry(unsigned way, std::uint64_t after, std::size_t bytes, unsigned cheapest);
    void keep(unsigned way);
    void choose_next();

    read_way ways_[read_way_count];
    unsigned way_count_ = 0;
    unsigned kept_ = 0;       // index in ways_ of the way kept
    unsigned current_ = 0;    // index in ways_ of the way next() returns
    bool warmed_up_ = false;  // a first stretch was brought in
    bool settled_ = false;    // every way was tried once
    // Each way's cost per byte as last seen, in picoseconds (0: untried).
    // The kept way's is the lower of its last two means over judged_bytes,
    // so that one stretch slowed by something else (an interrupt) does not
    // move it.
    std::uint64_t seen_[read_way_count] = {};
    std::uint64_t kept_last_ = 0;                     // the kept way's last mean
    std::uint64_t kept_bytes_ = 0;                    // what the kept way brought in since then,
    std::uint64_t kept_ns_ = 0;                       // and what it cost
    std::uint64_t first_copy_try_ = 0;                // the first stretch of a try of the copy
    std::uint64_t retry_after_[read_way_count] = {};  // for the ways not kept
    std::uint64_t retry_in_[read_way_count] = {};
};

}  // namespace bytehunt
