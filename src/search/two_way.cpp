#include "two_way.hpp"

#include <cstring>

#include "check.hpp"
#include "prefilter.hpp"

namespace bytehunt {
namespace {

struct maximal_suffix {
    std::size_t start;  // where the suffix starts
    std::size_t period;
};

// The lexicographically greatest suffix of the needle under the byte order
// (or under its reverse) and that suffix's period.
maximal_suffix find_maximal_suffix(const std::uint8_t* needle, std::size_t length, bool reversed) {
    std::size_t suffix = 0;  // candidate suffix start
    std::size_t other = 1;   // start of the challenger
    std::size_t k = 0;       // bytes compared so far in this round
    std::size_t period = 1;
    while (other + k < length) {
        const std::uint8_t a = needle[suffix + k];
        const std::uint8_t b = needle[other + k];
        if (a == b) {
            if (k + 1 == period) {
                other += period;
                k = 0;
            } else {
                ++k;
            }
        } else if (reversed ? a > b : a < b) {
            // The challenger is greater: it becomes the candidate.
            suffix = other;
            other = suffix + 1;
            k = 0;
            period = 1;
        } else {
            other += k + 1;
            k = 0;
            period = other - suffix;
        }
    }
    return {suffix, period};
}

}  // namespace

two_way_searcher::two_way_searcher(const std::uint8_t* needle, std::size_t length)
    : needle_(needle), length_(length), split_(0), period_(1), memory_after_shift_(0), last_end_{} {
    if (length == 0) return;  // never occurs; find() says so before reading anything
    for (std::size_t i = 0; i < length; ++i) last_end_[needle[i]] = static_cast<std::uint8_t>(i + 1);

    // The critical factorization splits at the later of the two maximal suffixes.
    const maximal_suffix forward = find_maximal_suffix(needle, length, false);
    const maximal_suffix backward = find_maximal_suffix(needle, length, true);
    const maximal_suffix& critical = forward.start >= backward.start ? forward : backward;
    split_ = critical.start;
    period_ = critical.period;

    if (std::memcmp(needle, needle + period_, split_) == 0) {
        // Periodic needle: after a shift by the period, the first
        // length - period bytes are already known to match.
        memory_after_shift_ = length - period_;
    } else {
        memory_after_shift_ = 0;
        // Otherwise any shift that keeps both parts overlapping would have to
        // agree with the critical factorization, so this one is safe.
        const std::size_t left = split_ - 1;
        const std::size_t right = length - split_;
        period_ = (left > right ? left : right) + 1;
    }
}

std::size_t two_way_searcher::find(const std::uint8_t* haystack, std::size_t length, std::size_t from) const {
    const std::size_t m = length_;
    if (m == 0) return not_found;
    std::size_t memory = 0;
    std::size_t pos = from;
    for (std::size_t turns = 1; pos <= length && length - pos >= m; ++turns) {
        BYTEHUNT_CHECK(turns <= length - from);  // every turn moves on

        // The needle's last byte against the haystack: a shift that skips
        // every start at which that byte could not line up.
        const std::size_t end = last_end_[haystack[pos + m - 1]];
        if (end == 0) {
            pos += m;
            memory = 0;
            continue;
        }
        if (end != m) {
            const std::size_t shift = m - end;
            pos += shift < memory ? memory : shift;
            memory = 0;
            continue;
        }

        std::size_t i = split_ > memory ? split_ : memory;
        while (i < m && needle_[i] == haystack[pos + i]) ++i;
        if (i < m) {
            pos += i - split_ + 1;
            memory = 0;
            continue;
        }
        i = split_;
        while (i > memory && needle_[i - 1] == haystack[pos + i - 1]) --i;
        if (i <= memory) return pos;
        pos += period_;
        memory = memory_after_shift_;
    }
    return not_found;
}

}  // namespace bytehunt
