// The searcher for one needle: chosen once from the needle's length and the
// CPU, then used for every block of the input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "prefilter.hpp"
#include "two_way.hpp"

namespace bytehunt {

enum class cpu_path { portable, sse2, avx2, avx512 };

// The fastest path this CPU runs.
cpu_path best_cpu_path();
bool cpu_path_supported(cpu_path path);

class searcher {
public:
    // The needle must outlive the searcher.
    searcher(const std::uint8_t* needle, std::size_t length, cpu_path path = best_cpu_path());

    std::size_t needle_length() const { return length_; }

    // Leftmost occurrence starting at or after `from`, or not_found. Not
    // const: once the filter stops paying off, this searcher switches to
    // Two-Way for good.
    std::size_t find(const std::uint8_t* haystack, std::size_t length, std::size_t from);

private:
    enum class kind { empty, one_byte, filtered, two_way };

    const std::uint8_t* needle_;
    std::size_t length_;
    kind kind_;
    prefilter_needle rare_pair_{};
    prefilter_kernel kernel_ = nullptr;
    two_way_searcher two_way_;
};

}  // namespace bytehunt
