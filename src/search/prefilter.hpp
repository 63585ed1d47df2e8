// Candidate filters: find where two rare bytes of the needle line up in the
// haystack, then confirm the whole needle there. One kernel per CPU path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bytehunt {

constexpr std::size_t not_found = static_cast<std::size_t>(-1);

struct prefilter_needle {
    const std::uint8_t* bytes;
    std::size_t length;   // at least 2
    std::size_t offset1;  // index of the rarest byte
    std::size_t offset2;  // index of the next rarest, different from offset1
    std::uint8_t rare1;
    std::uint8_t rare2;
};

// Where the occurrences found by one kernel call are written.
struct match_list {
    std::size_t* starts;
    std::size_t capacity;  // at least 1
};

// A kernel records occurrences left to right from `from`, each starting after
// the last byte of the one before, until `capacity` are recorded or the
// haystack holds no further start. `resume` is where the search goes on: past
// the last occurrence recorded, or where the kernel gave up. It gives up when
// candidates stop paying off (`gave_up`), so that a linear-time searcher can
// take over at `resume`.
struct prefilter_result {
    std::size_t count;
    std::size_t resume;
    bool gave_up;
};

using prefilter_kernel = prefilter_result (*)(const std::uint8_t* haystack, std::size_t length,
                                              std::size_t from, const prefilter_needle& needle,
                                              const match_list& matches);

prefilter_result prefilter_portable(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                    const prefilter_needle& needle, const match_list& matches);
#if defined(BYTEHUNT_X86)
prefilter_result prefilter_sse2(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                const prefilter_needle& needle, const match_list& matches);
prefilter_result prefilter_avx2(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                const prefilter_needle& needle, const match_list& matches);
prefilter_result prefilter_avx512(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                  const prefilter_needle& needle, const match_list& matches);
#endif

// Picks the two rarest bytes of a needle of at least two bytes.
prefilter_needle choose_rare_pair(const std::uint8_t* bytes, std::size_t length);

}  // namespace bytehunt
