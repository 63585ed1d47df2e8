// Two-Way string matching (Crochemore and Perrin): linear time on every input,
// constant extra space. The fallback when the vector filter stops paying off.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bytehunt {

class two_way_searcher {
public:
    // The needle must outlive the searcher. An empty needle never occurs.
    two_way_searcher(const std::uint8_t* needle, std::size_t length);

    // Leftmost occurrence starting at or after `from`, or not_found.
    std::size_t find(const std::uint8_t* haystack, std::size_t length, std::size_t from) const;

private:
    const std::uint8_t* needle_;
    std::size_t length_;
    std::size_t split_;   // the needle's critical factorization: [0, split_) and [split_, length_)
    std::size_t period_;  // shift after the right part matched and the left part did not
    std::size_t memory_after_shift_;  // bytes known to match after that shift; 0 if none
    std::uint8_t last_end_[256];      // 1 + last index of each byte in the needle, 0 if absent
};

}  // namespace bytehunt
