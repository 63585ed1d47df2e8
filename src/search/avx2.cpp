// 32 bytes a step; built with AVX2 enabled and only called when the CPU has it.
#include <immintrin.h>

#include "prefilter_loop.hpp"

namespace bytehunt {
namespace {

struct avx2_simd {
    using vector = __m256i;
    static constexpr std::size_t width = 32;
    static constexpr std::size_t mask_bits = 1;

    static vector broadcast(std::uint8_t byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
    static vector load(const std::uint8_t* at) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
    static std::uint64_t equal(const std::uint8_t* at, vector value) {
        const __m256i eq = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), value);
        return static_cast<unsigned>(_mm256_movemask_epi8(eq));
    }
};

}  // namespace

prefilter_result prefilter_avx2(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                const needle_filter& filter, const match_list& matches,
                                unsigned give_up_shift) {
    return run_prefilter<avx2_simd>(haystack, length, from, filter, matches, give_up_shift);
}

}  // namespace bytehunt
