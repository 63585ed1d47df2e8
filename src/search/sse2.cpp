// 16 bytes a step; every x86-64 CPU has SSE2.
#include <emmintrin.h>

#include "prefilter_loop.hpp"

namespace bytehunt {
namespace {

struct sse2_simd {
    using vector = __m128i;
    static constexpr std::size_t width = 16;
    static constexpr std::size_t mask_bits = 1;

    static vector broadcast(std::uint8_t byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
    static vector load(const std::uint8_t* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
    static std::uint64_t equal(const std::uint8_t* at, vector value) {
        const __m128i eq = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), value);
        return static_cast<unsigned>(_mm_movemask_epi8(eq));
    }
};

}  // namespace

prefilter_result prefilter_sse2(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                const needle_filter& filter, const match_list& matches,
                                unsigned give_up_shift) {
    return run_prefilter<sse2_simd>(haystack, length, from, filter, matches, give_up_shift);
}

}  // namespace bytehunt
