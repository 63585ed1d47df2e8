// The plain search that defines the right answer: try every start in order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bytehunt {

// Leftmost occurrence of the needle starting at or after `from`, or not_found.
// An empty needle never occurs.
std::size_t reference_find(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                           const std::uint8_t* needle, std::size_t needle_length);

}  // namespace bytehunt
