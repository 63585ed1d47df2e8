// The portable kernel (memchr on the rarest byte, then the second rare byte,
// then the whole needle) and the plain reference search that the fast paths
// are tested against.
#include <cstring>

#include "prefilter_loop.hpp"
#include "reference.hpp"

namespace bytehunt {

prefilter_result prefilter_portable(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                    const prefilter_needle& needle, const match_list& matches) {
    if (length < needle.length || from > length - needle.length) return {0, from, false};
    const std::size_t last_start = length - needle.length;
    const std::uint8_t* at1 = haystack + needle.offset1;
    std::size_t count = 0;
    std::size_t false_hits = 0;
    std::size_t pos = from;
    while (pos <= last_start) {
        const void* hit = std::memchr(at1 + pos, needle.rare1, last_start - pos + 1);
        if (hit == nullptr) break;
        const auto start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - at1);
        if (haystack[start + needle.offset2] == needle.rare2 && needle_at(haystack + start, needle)) {
            matches.starts[count++] = start;
            pos = start + needle.length;
            if (count == matches.capacity) break;
            continue;
        }
        if (prefilter_should_give_up(++false_hits, start - from + 1)) return {count, start + 1, true};
        pos = start + 1;
    }
    return {count, count > 0 ? matches.starts[count - 1] + needle.length : from, false};
}

std::size_t reference_find(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                           const std::uint8_t* needle, std::size_t needle_length) {
    if (needle_length == 0) return not_found;
    for (std::size_t start = from; start < length && length - start >= needle_length; ++start) {
        std::size_t i = 0;
        while (i < needle_length && haystack[start + i] == needle[i]) ++i;
        if (i == needle_length) return start;
    }
    return not_found;
}

}  // namespace bytehunt
