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

    // Records occurrences left to right from `from` into `matches`, each
    // starting after the last byte of the one before, until the list is full
    // or the haystack holds no further occurrence. Returns how many, and sets
    // `resume` to where the search goes on: just past the last one recorded,
    // or `from` if none was. Not const: once the filter stops paying off,
    // this searcher switches to Two-Way for good.
    std::size_t find_all(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                         const match_list& matches, std::size_t& resume);

private:
    enum class kind { empty, one_byte, filtered, two_way };

    // Leftmost occurrence starting at or after `from`, or not_found; for
    // the kinds that find one occurrence at a time.
    std::size_t find_one(const std::uint8_t* haystack, std::size_t length, std::size_t from) const;

    const std::uint8_t* needle_;
    std::size_t length_;
    kind kind_;
    prefilter_needle rare_pair_{};
    prefilter_kernel kernel_ = nullptr;
    two_way_searcher two_way_;
};

}  // namespace bytehunt
