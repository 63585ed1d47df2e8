// The loop shared by every kernel. Each kernel file compiles it with its own
// CPU flags, so everything here has internal linkage: the linker must never
// pick a copy built for a wider CPU than the one running.
#pragma once

#include <cstring>

#include "check.hpp"
#include "prefilter.hpp"

namespace bytehunt {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces): see above

// A few false candidates are normal; past one per 2^shift bytes scanned,
// another filter or a linear-time search would do better.
inline bool prefilter_should_give_up(std::size_t false_hits, std::size_t scanned, unsigned shift) {
    return false_hits > 32 && (false_hits << shift) > scanned;
}

// Index of the first byte where `a` and `b` differ, or `length` if none:
// eight bytes a step, so that a near miss costs little to confirm.
inline std::size_t first_mismatch(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    std::size_t i = 0;
    for (; length - i >= 8; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return i + static_cast<std::size_t>(__builtin_clzll(x ^ y)) / 8;
#else
            return i + static_cast<std::size_t>(__builtin_ctzll(x ^ y)) / 8;
#endif
        }
    }
    while (i < length && a[i] == b[i]) ++i;
    return i;
}

// Whether the whole needle is at `where`, once the filter's bytes are. A
// failure is counted at the index where it happened.
inline bool needle_at(const std::uint8_t* where, const needle_filter& filter) {
    if (filter.count == filter.length) return true;  // the filter compared every byte
    // A long needle is confirmed with memcmp, which compares a vector at a
    // time; a short one inline, without the call.
    if (filter.length > 32 && std::memcmp(where, filter.bytes, filter.length) == 0) return true;
    const std::size_t at = first_mismatch(where, filter.bytes, filter.length);
    if (at == filter.length) return true;
    if (filter.misses != nullptr) ++filter.misses[at];
    return false;
}

// Whether the filter's bytes are all at the start `where`.
inline bool filter_at(const std::uint8_t* where, const needle_filter& filter) {
    for (std::size_t k = 0; k < filter.count; ++k) {
        if (where[filter.offsets[k]] != filter.values[k]) return false;
    }
    return true;
}

// Simd gives `vector`, `width` (bytes per step, at most 64), `mask_bits`
// (bits of the mask per byte: 1, or 4 where there is no movemask),
// `broadcast(byte)` and `equal(p, vector)`: a mask with the bits of byte i set
// when p[i] equals the vector's byte. `Fixed` is the filter's position count
// (2 to max_filter_positions, or 1 for a needle of one byte), known at
// compile time.

// Where the filter's bytes line up: the first step from `pos` (below `end`)
// whose mask is not empty, or `end` with an empty mask. Kept out of line:
// with no call inside, the filter's vectors stay in registers for the whole
// run of empty steps, which is nearly all of the search.
struct candidate_step {
    std::size_t pos;
    std::uint64_t mask;
};

template <class Simd, std::size_t Fixed>
__attribute__((noinline)) candidate_step next_candidate_step(const std::uint8_t* const (&at)[Fixed],
                                                             const typename Simd::vector (&values)[Fixed],
                                                             std::size_t pos, std::size_t end) {
    const std::uint8_t* where[Fixed];
    typename Simd::vector value[Fixed];
    for (std::size_t k = 0; k < Fixed; ++k) where[k] = at[k], value[k] = values[k];
    for (; pos < end; pos += Simd::width) {
        // Mapped input comes straight from memory, not from a cache warmed
        // by a copy: ask for it well ahead, once per cache line.
        if (Simd::width >= 64 || pos % 64 < Simd::width) __builtin_prefetch(where[0] + pos + 2048);
        std::uint64_t mask = Simd::equal(where[0] + pos, value[0]);
        for (std::size_t k = 1; k < Fixed; ++k) mask &= Simd::equal(where[k] + pos, value[k]);
        if (mask != 0) return {pos, mask};
    }
    return {end, 0};
}

// `mask` without the candidate at `index` of its step (its lowest).
template <class Simd>
std::uint64_t without_candidate(std::uint64_t mask, std::size_t index) {
    if constexpr (Simd::mask_bits == 1) return mask & (mask - 1);
    const std::size_t done = (index + 1) * Simd::mask_bits;
    return done >= 64 ? 0 : mask & (~0ULL << done);
}

// The starts from `pos` to `last_start`, too few for a whole step, one at a
// time, after `count` occurrences recorded.
inline prefilter_result search_one_by_one(const std::uint8_t* haystack, std::size_t pos,
                                          std::size_t last_start, const needle_filter& filter,
                                          const match_list& matches, std::size_t count) {
    for (; pos <= last_start; ++pos) {
        if (filter_at(haystack + pos, filter) && needle_at(haystack + pos, filter)) {
            matches.starts[count++] = pos;
            if (count == matches.capacity) return {count, pos + filter.length, false};
            pos += filter.length - 1;
        }
    }
    return {count, pos, false};
}

// The filter's bytes, broadcast, and the haystack as seen from each of its
// positions. Each loop holds them as locals, so that the compiler can keep
// them in registers: the match list is written in the loop, and might
// otherwise alias the filter.
template <class Simd, std::size_t Fixed>
struct filter_lanes {
    filter_lanes(const std::uint8_t* haystack, const needle_filter& filter) {
        for (std::size_t k = 0; k < Fixed; ++k) {
            values[k] = Simd::broadcast(filter.values[k]);
            at[k] = haystack + filter.offsets[k];
        }
    }
    typename Simd::vector values[Fixed];
    const std::uint8_t* at[Fixed];
};

// Where the vector steps from `from` end: every start in [pos, pos + width)
// is a full needle inside the haystack, so every load stays in bounds,
// while pos is below this.
template <class Simd>
std::size_t steps_end_for(std::size_t last_start, std::size_t from) {
    return last_start - from >= Simd::width - 1 ? last_start - (Simd::width - 1) + 1 : from;
}

// Records `pos` plus the index of each set bit of `picks`, lowest first, at
// `out`, and returns how many. Each bit costs a store and two one-cycle
// steps, with no chain through the list's count.
inline std::size_t put_starts(std::size_t* out, std::size_t pos, std::uint64_t picks) {
    std::size_t* at = out;
    for (; picks != 0; picks &= picks - 1) *at++ = pos + static_cast<std::size_t>(__builtin_ctzll(picks));
    return static_cast<std::size_t>(at - out);
}

// Room for a whole step's occurrences in the match list: with that much
// left, a step's starts are recorded with no check of the list per start.
constexpr std::size_t step_room = 64;

// The leftmost occurrences of a needle of `Length` equal bytes, from the
// mask of where whole occurrences start: in each run of set bits, those at
// multiples of `Length` from the run's start. (After the last one in a run,
// the next start is past that run's end, and also past the next `Length`
// starts: the byte that ended the run is in all of them.)
template <std::size_t Length>
std::uint64_t same_byte_picks(std::uint64_t mask) {
    constexpr std::uint64_t every = [] {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 64; i += Length) bits |= 1ULL << i;
        return bits;
    }();
    std::uint64_t picks = 0;
    while (mask != 0) {
        const std::uint64_t run = mask & ~(mask + (mask & (~mask + 1)));  // the lowest run of set bits
        picks |= run & (every << __builtin_ctzll(mask));
        mask &= ~run;
    }
    return picks;
}

// A filter that compares every byte of a needle of `Length` bytes (at most
// a step's width) whose occurrences never overlap, or overlap only in runs
// of one byte: each step's mask yields all of that step's occurrences at
// once, with no call and no unpredictable branch per occurrence.
template <class Simd, std::size_t Length>
__attribute__((noinline)) prefilter_result exact_loop(const std::uint8_t* haystack, std::size_t length,
                                                      std::size_t from, const needle_filter& filter,
                                                      const match_list& matches) {
    static_assert(Simd::mask_bits == 1 && Length < Simd::width, "one mask bit per start");
    if (length < Length || from > length - Length) return {0, from, false};
    const filter_lanes<Simd, Length> lanes(haystack, filter);
    const bool same_byte = filter.overlap == needle_overlap::same_byte;
    std::size_t* const starts = matches.starts;
    const std::size_t capacity = matches.capacity;
    const std::size_t last_start = length - Length;
    std::size_t count = 0;
    std::size_t allowed = from;  // the first start that does not overlap an occurrence found
    std::size_t pos = from;
    const std::size_t steps_end = steps_end_for<Simd>(last_start, from);
    for (; pos < steps_end; pos += Simd::width) {
        const candidate_step step = next_candidate_step<Simd, Length>(lanes.at, lanes.values, pos, steps_end);
        pos = step.pos;
        if (step.mask == 0) break;
        // The last step's occurrence ends at most Length - 1 starts into this one.
        std::uint64_t picks = allowed > pos ? step.mask & (~0ULL << (allowed - pos)) : step.mask;
        if (same_byte) picks = same_byte_picks<Length>(picks);
        if (picks == 0) continue;
        const std::size_t last = pos + static_cast<std::size_t>(63 - __builtin_clzll(picks));
        if (capacity - count >= step_room) {
            // A step holds at most 32 occurrences of two bytes or more, so
            // this leaves room: the list is never full here.
            count += put_starts(starts + count, pos, picks);
        } else {
            for (std::uint64_t left = picks; left != 0; left &= left - 1) {
                const std::size_t start = pos + static_cast<std::size_t>(__builtin_ctzll(left));
                starts[count++] = start;
                if (count == capacity) return {count, start + Length, false};
            }
        }
        allowed = last + Length;
    }
    return search_one_by_one(haystack, pos > allowed ? pos : allowed, last_start, filter, matches, count);
}

// A needle of one byte: every candidate is an occurrence and none overlaps
// another, so each step's mask is taken whole, with no call in the loop. (The
// loop for longer needles leaves its out-of-line step at every candidate:
// with a byte that comes once in 256, that call cost more than the search.)
template <class Simd>
__attribute__((noinline)) prefilter_result one_byte_loop(const std::uint8_t* haystack, std::size_t length,
                                                         std::size_t from, const needle_filter& filter,
                                                         const match_list& matches) {
    if (from >= length) return {0, from, false};
    const typename Simd::vector value = Simd::broadcast(filter.values[0]);
    std::size_t* const starts = matches.starts;
    const std::size_t capacity = matches.capacity;
    std::size_t count = 0;
    std::size_t pos = from;
    for (; length - pos >= Simd::width; pos += Simd::width) {
        if (Simd::width >= 64 || pos % 64 < Simd::width) __builtin_prefetch(haystack + pos + 2048);
        for (std::uint64_t mask = Simd::equal(haystack + pos, value); mask != 0;) {
            const std::size_t start = pos + static_cast<std::size_t>(__builtin_ctzll(mask)) / Simd::mask_bits;
            starts[count++] = start;
            if (count == capacity) return {count, start + 1, false};
            mask = without_candidate<Simd>(mask, start - pos);
        }
    }
    return search_one_by_one(haystack, pos, length - 1, filter, matches, count);
}

// A needle with a period shorter than itself (`0000`, `0d0a0d0a`), found
// at `start` and recorded: as long as the bytes after it go on repeating
// with that period, the needle recurs every `stride` bytes (the least
// multiple of the period that does not overlap it), and nowhere between (a
// start out of that step would find the needle's period turned, and the
// needle would have a shorter one). Records those occurrences while the
// list has room, checking a vector of bytes against those one period
// before at a time, and returns the first start still to decide: where a
// needle would no longer span a break in the repetition, or past the last
// occurrence recorded, where the list filled or the haystack ended.
template <class Simd>
std::size_t rest_of_run(const std::uint8_t* haystack, std::size_t length, std::size_t start,
                        std::size_t needle_length, std::size_t period, std::size_t* starts,
                        std::size_t& count, std::size_t capacity) {
    constexpr std::uint64_t step_bits =
        Simd::width * Simd::mask_bits >= 64 ? ~0ULL : (1ULL << (Simd::width * Simd::mask_bits)) - 1;
    const std::size_t stride = repeat_step(needle_length, period);
    // No further than the occurrences the list has room for need.
    const std::size_t room = capacity - count;
    const std::size_t limit =
        (length - start - needle_length) / stride >= room ? start + room * stride + needle_length : length;
    std::size_t end = start + needle_length;  // the first byte that breaks the repetition, or limit
    for (; limit - end >= Simd::width; end += Simd::width) {
        if (Simd::width >= 64 || end % 64 < Simd::width) __builtin_prefetch(haystack + end + 2048);
        const std::uint64_t other =
            ~Simd::equal(haystack + end, Simd::load(haystack + end - period)) & step_bits;
        if (other != 0) {
            end += static_cast<std::size_t>(__builtin_ctzll(other)) / Simd::mask_bits;
            break;
        }
    }
    while (end < limit && haystack[end] == haystack[end - period]) ++end;
    std::size_t last = start;
    std::size_t recorded = count;  // a local: the stores to starts might alias count
    for (std::size_t at = start + stride; at + needle_length <= end; at += stride) {
        starts[recorded++] = at;
        last = at;
    }
    count = recorded;
    if (end == limit) return last + needle_length;
    // A needle that holds the break and the byte a period before it would
    // repeat where the bytes do not.
    return end - period + 1 > last + needle_length ? end - period + 1 : last + needle_length;
}

template <class Simd, std::size_t Fixed>
__attribute__((noinline)) prefilter_result prefilter_loop(const std::uint8_t* haystack, std::size_t length,
                                                          std::size_t from, const needle_filter& filter,
                                                          const match_list& matches, unsigned give_up_shift) {
    if (length < filter.length || from > length - filter.length) return {0, from, false};
    const filter_lanes<Simd, Fixed> lanes(haystack, filter);
    // Locals too: every start recorded is a store that might alias them, and
    // in dense output they would be loaded again after each one.
    std::size_t* const starts = matches.starts;
    const std::size_t capacity = matches.capacity;
    const std::size_t needle_length = filter.length;
    const bool filter_is_needle = filter.count == filter.length;
    // Where the data repeats with the needle's period, each repetition is
    // taken whole, not an occurrence a step.
    const std::size_t period = filter.period;
    const std::size_t last_start = length - needle_length;
    std::size_t count = 0;
    std::size_t allowed = from;  // the first start that does not overlap an occurrence found
    std::size_t false_hits = 0;
    std::size_t pos = from;
    const std::size_t steps_end = steps_end_for<Simd>(last_start, from);
    while (pos < steps_end) {
        const candidate_step step = next_candidate_step<Simd, Fixed>(lanes.at, lanes.values, pos, steps_end);
        pos = step.pos;
        std::uint64_t mask = step.mask;
        if (mask == 0) break;
        // Each step starts at or after the end of the last occurrence found.
        for (std::size_t turns = 1; mask != 0; ++turns) {
            BYTEHUNT_CHECK(turns <= Simd::width);  // each turn clears a candidate
            const std::size_t start = pos + static_cast<std::size_t>(__builtin_ctzll(mask)) / Simd::mask_bits;
            if (filter_is_needle || needle_at(haystack + start, filter)) {
                starts[count++] = start;
                allowed = start + needle_length;
                if (period != 0)
                    allowed = rest_of_run<Simd>(haystack, length, start, needle_length, period, starts, count,
                                                capacity);
                if (count == capacity) return {count, allowed, false};
                if (allowed - pos >= Simd::width) {
                    // The occurrence covers the rest of this step: go on after it.
                    pos = allowed - Simd::width;
                    break;
                }
                // Drop every candidate inside the occurrence (a shift below 64).
                mask &= ~0ULL << ((allowed - pos) * Simd::mask_bits);
                continue;
            }
            if (prefilter_should_give_up(++false_hits, start - from + 1, give_up_shift)) {
                return {count, start + 1, true};
            }
            mask = without_candidate<Simd>(mask, start - pos);
        }
        pos += Simd::width;
    }
    return search_one_by_one(haystack, pos > allowed ? pos : allowed, last_start, filter, matches, count);
}

// The kernel for one CPU path, with the filter's position count known to
// the compiler, so that each step is straight-line code. Each loop is a
// function of its own (noinline): inlined together into one, they shared
// one register allocation, and the dense loops spilled their locals.
template <class Simd>
prefilter_result run_prefilter(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                               const needle_filter& filter, const match_list& matches,
                               unsigned give_up_shift) {
    if constexpr (Simd::mask_bits == 1) {
        if (filter.count == filter.length && filter.overlap != needle_overlap::any) {
            switch (filter.count) {
                case 2: return exact_loop<Simd, 2>(haystack, length, from, filter, matches);
                case 3: return exact_loop<Simd, 3>(haystack, length, from, filter, matches);
                case 4: return exact_loop<Simd, 4>(haystack, length, from, filter, matches);
                case 5: return exact_loop<Simd, 5>(haystack, length, from, filter, matches);
                case 6: return exact_loop<Simd, 6>(haystack, length, from, filter, matches);
                case 7: return exact_loop<Simd, 7>(haystack, length, from, filter, matches);
                case 8: return exact_loop<Simd, 8>(haystack, length, from, filter, matches);
                default: break;  // longer needles are seldom dense; the loop below serves them
            }
        }
    }
    switch (filter.count) {
        case 1: return one_byte_loop<Simd>(haystack, length, from, filter, matches);
        case 2: return prefilter_loop<Simd, 2>(haystack, length, from, filter, matches, give_up_shift);
        case 3: return prefilter_loop<Simd, 3>(haystack, length, from, filter, matches, give_up_shift);
        case 4: return prefilter_loop<Simd, 4>(haystack, length, from, filter, matches, give_up_shift);
        case 5: return prefilter_loop<Simd, 5>(haystack, length, from, filter, matches, give_up_shift);
        case 6: return prefilter_loop<Simd, 6>(haystack, length, from, filter, matches, give_up_shift);
        case 7: return prefilter_loop<Simd, 7>(haystack, length, from, filter, matches, give_up_shift);
        case 8: return prefilter_loop<Simd, 8>(haystack, length, from, filter, matches, give_up_shift);
        case 9: return prefilter_loop<Simd, 9>(haystack, length, from, filter, matches, give_up_shift);
        case 10: return prefilter_loop<Simd, 10>(haystack, length, from, filter, matches, give_up_shift);
        case 11: return prefilter_loop<Simd, 11>(haystack, length, from, filter, matches, give_up_shift);
        default:
            return prefilter_loop<Simd, max_filter_positions>(haystack, length, from, filter, matches,
                                                              give_up_shift);
    }
}

}  // namespace
}  // namespace bytehunt
