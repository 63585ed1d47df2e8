// The loop shared by the vector kernels. Each kernel file compiles it with its
// own CPU flags, so everything here has internal linkage: the linker must never
// pick a copy built for a wider CPU than the one running.
#pragma once

#include <cstring>

#include "prefilter.hpp"

namespace bytehunt {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces): see above

// A few false candidates are normal; once there is one for every 16 bytes
// scanned, verifying them costs more than a linear-time search would.
inline bool prefilter_should_give_up(std::size_t false_hits, std::size_t scanned) {
    return false_hits > 32 && false_hits * 16 > scanned;
}

// Whether the whole needle is at `where`, once its two rare bytes are. A
// two-byte needle has no other bytes to check.
inline bool needle_at(const std::uint8_t* where, const prefilter_needle& needle) {
    return needle.length == 2 || std::memcmp(where, needle.bytes, needle.length) == 0;
}

// Ops gives `width` (bytes per step, at most 64) and `candidates(p1, p2)`: a
// bit mask with bit i set when p1[i] is rare1 and p2[i] is rare2.
template <class Ops>
prefilter_result prefilter_loop(const Ops& ops, const std::uint8_t* haystack, std::size_t length,
                                std::size_t from, const prefilter_needle& needle, const match_list& matches) {
    if (length < needle.length || from > length - needle.length) return {0, from, false};
    const std::size_t last_start = length - needle.length;
    const std::uint8_t* at1 = haystack + needle.offset1;
    const std::uint8_t* at2 = haystack + needle.offset2;
    std::size_t count = 0;
    std::size_t allowed = from;  // the first start that does not overlap an occurrence found
    std::size_t false_hits = 0;
    std::size_t pos = from;

    // Every start in [pos, pos + width) is a full needle inside the haystack,
    // so both loads stay in bounds.
    for (; pos <= last_start && last_start - pos >= Ops::width - 1; pos += Ops::width) {
        auto mask = ops.candidates(at1 + pos, at2 + pos);
        while (mask != 0) {
            const std::size_t start = pos + static_cast<std::size_t>(__builtin_ctzll(mask));
            if (start < allowed) {
                // Drop every candidate inside the occurrence just found.
                const std::size_t skip = allowed - pos;
                mask = skip >= 64 ? 0 : mask & (~0ULL << skip);
                continue;
            }
            if (needle_at(haystack + start, needle)) {
                matches.starts[count++] = start;
                allowed = start + needle.length;
                if (count == matches.capacity) return {count, allowed, false};
            } else if (prefilter_should_give_up(++false_hits, start - from + 1)) {
                return {count, start + 1, true};
            }
            mask &= mask - 1;
        }
    }
    for (pos = pos > allowed ? pos : allowed; pos <= last_start; ++pos) {
        if (at1[pos] == needle.rare1 && at2[pos] == needle.rare2 && needle_at(haystack + pos, needle)) {
            matches.starts[count++] = pos;
            allowed = pos + needle.length;
            if (count == matches.capacity) break;
            pos = allowed - 1;
        }
    }
    return {count, allowed, false};
}

}  // namespace
}  // namespace bytehunt
