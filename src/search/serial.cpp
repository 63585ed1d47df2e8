// The portable kernel (memchr on the rarest byte, then the filter's other
// bytes, then the whole needle) and the plain reference search that the fast paths
// are tested against.
#include <cstring>

#include "prefilter_loop.hpp"
#include "reference.hpp"

namespace bytehunt {

prefilter_result prefilter_portable(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                    const needle_filter& filter, const match_list& matches,
                                    unsigned give_up_shift) {
    if (length < filter.length || from > length - filter.length) return {0, from, false};
    const std::size_t last_start = length - filter.length;
    const std::uint8_t* rarest = haystack + filter.offsets[0];
    std::size_t count = 0;
    std::size_t false_hits = 0;
    std::size_t pos = from;
    while (pos <= last_start) {
        const void* hit = std::memchr(rarest + pos, filter.values[0], last_start - pos + 1);
        if (hit == nullptr) return {count, last_start + 1, false};
        const auto start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - rarest);
        if (filter_at(haystack + start, filter) && needle_at(haystack + start, filter)) {
            matches.starts[count++] = start;
            pos = start + filter.length;
            if (count == matches.capacity) break;
            continue;
        }
        if (prefilter_should_give_up(++false_hits, start - from + 1, give_up_shift)) {
            return {count, start + 1, true};
        }
        pos = start + 1;
    }
    return {count, pos, false};
}

// Not instrumented for coverage when fuzzing: the reference answers every
// input the same way, and its compares would only slow each run.
#if defined(__clang__)
__attribute__((no_sanitize("coverage")))
#endif
std::size_t
reference_find(const std::uint8_t* haystack, std::size_t length, std::size_t from, const std::uint8_t* needle,
               std::size_t needle_length) {
    if (needle_length == 0) return not_found;
    for (std::size_t start = from; start < length && length - start >= needle_length; ++start) {
        std::size_t i = 0;
        while (i < needle_length && haystack[start + i] == needle[i]) ++i;
        if (i == needle_length) return start;
    }
    return not_found;
}

}  // namespace bytehunt
