// Candidate filters: find where a few chosen bytes of the needle line up in
// the haystack, then confirm the whole needle there. One kernel per CPU path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bytehunt {

constexpr std::size_t not_found = static_cast<std::size_t>(-1);

// More positions cut false candidates on data with few distinct bytes
// (twelve over two letters leave one in 4096), at a load and a compare each
// per step.
constexpr std::size_t max_filter_positions = 12;

// How two occurrences of a needle can overlap. `any` is always safe; the
// others let a kernel take a whole step's occurrences at once.
enum class needle_overlap : std::uint8_t {
    any,
    none,      // no proper prefix is also a suffix: occurrences never overlap
    same_byte  // every byte the same: occurrences overlap in runs of that byte
};
needle_overlap overlap_of(const std::uint8_t* bytes, std::size_t length);

// The needle positions that the filter compares; the first is the rarest in
// the data.
struct needle_filter {
    const std::uint8_t* bytes;
    std::size_t length;  // at least 2, or 1 where the filter is the needle itself
    std::size_t count;   // positions in use, 2 to max_filter_positions (1 for one byte), all different
    std::size_t offsets[max_filter_positions];
    std::uint8_t values[max_filter_positions];  // bytes[offsets[k]]
    // Per needle index: how often a candidate failed there first. The kernels
    // count; the searcher adds the worst positions to the filter. May be null.
    std::uint32_t* misses;
    // Set where the filter compares every byte of the needle; else `any`.
    needle_overlap overlap;
    // The needle's smallest period (the least p with bytes[i] == bytes[i + p]
    // throughout), where it is shorter than the needle; else 0. Set by the
    // searcher, which finds it once per needle.
    std::size_t period = 0;
};
std::size_t smallest_period(const std::uint8_t* bytes, std::size_t length);
// How far apart a needle with that period recurs in data that repeats it:
// the least multiple of the period that clears the needle.
inline std::size_t repeat_step(std::size_t length, std::size_t period) {
    return (length + period - 1) / period * period;
}

// Where the occurrences found by one kernel call are written.
struct match_list {
    std::size_t* starts;
    std::size_t capacity;  // at least 1
};

// A kernel records occurrences left to right from `from`, each starting after
// the last byte of the one before, until `capacity` are recorded or the
// haystack holds no further start. `resume` is where the search goes on: past
// the last start tried, or where the kernel gave up. It gives up (`gave_up`)
// once false candidates pass one per 2^give_up_shift bytes scanned, so that
// the searcher can choose another filter or a linear-time search at `resume`.
struct prefilter_result {
    std::size_t count;
    std::size_t resume;
    bool gave_up;
};

// A kernel's type; each CPU path's kernel is declared with it below.
using prefilter_kernel_fn = prefilter_result(const std::uint8_t* haystack, std::size_t length,
                                             std::size_t from, const needle_filter& filter,
                                             const match_list& matches, unsigned give_up_shift);
using prefilter_kernel = prefilter_kernel_fn*;

prefilter_kernel_fn prefilter_portable;
#if defined(BYTEHUNT_X86)
prefilter_kernel_fn prefilter_sse2;
prefilter_kernel_fn prefilter_avx2;
prefilter_kernel_fn prefilter_avx512;
#endif
#if defined(BYTEHUNT_NEON)
prefilter_kernel_fn prefilter_neon;
#endif

// Chooses the filter for a needle of at least two bytes from a sample of the
// data about to be searched (`sample` may be empty): the positions whose
// bytes are rarest there, as many as it takes to make a false candidate
// unlikely, and the positions where candidates kept failing (`misses`).
needle_filter choose_filter(const std::uint8_t* bytes, std::size_t length, const std::uint8_t* sample,
                            std::size_t sample_length, std::uint32_t* misses);

}  // namespace bytehunt
