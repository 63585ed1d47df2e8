// 16 bytes a step; every x86-64 CPU has SSE2.
#include <emmintrin.h>

#include "prefilter_loop.hpp"

namespace bytehunt {
namespace {

struct sse2_ops {
    static constexpr std::size_t width = 16;
    __m128i rare1;
    __m128i rare2;

    unsigned long long candidates(const std::uint8_t* at1, const std::uint8_t* at2) const {
        const __m128i eq1 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at1)), rare1);
        const __m128i eq2 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at2)), rare2);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(eq1, eq2)));
    }
};

}  // namespace

prefilter_result prefilter_sse2(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                const prefilter_needle& needle, const match_list& matches) {
    const sse2_ops ops{_mm_set1_epi8(static_cast<char>(needle.rare1)),
                       _mm_set1_epi8(static_cast<char>(needle.rare2))};
    return prefilter_loop(ops, haystack, length, from, needle, matches);
}

}  // namespace bytehunt
