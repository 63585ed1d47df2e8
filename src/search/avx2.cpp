// 32 bytes a step; built with AVX2 enabled and only called when the CPU has it.
#include <immintrin.h>

#include "prefilter_loop.hpp"

namespace bytehunt {
namespace {

struct avx2_ops {
    static constexpr std::size_t width = 32;
    __m256i rare1;
    __m256i rare2;

    unsigned long long candidates(const std::uint8_t* at1, const std::uint8_t* at2) const {
        const __m256i eq1 =
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at1)), rare1);
        const __m256i eq2 =
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at2)), rare2);
        return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(eq1, eq2)));
    }
};

}  // namespace

prefilter_result prefilter_avx2(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                const prefilter_needle& needle, const match_list& matches) {
    const avx2_ops ops{_mm256_set1_epi8(static_cast<char>(needle.rare1)),
                       _mm256_set1_epi8(static_cast<char>(needle.rare2))};
    return prefilter_loop(ops, haystack, length, from, needle, matches);
}

}  // namespace bytehunt
