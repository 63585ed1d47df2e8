// 64 bytes a step; built with AVX-512BW enabled and only called when the CPU has it.
#include <immintrin.h>

#include "prefilter_loop.hpp"

namespace bytehunt {
namespace {

struct avx512_simd {
    using vector = __m512i;
    static constexpr std::size_t width = 64;
    static constexpr std::size_t mask_bits = 1;

    static vector broadcast(std::uint8_t byte) { return _mm512_set1_epi8(static_cast<char>(byte)); }
    static vector load(const std::uint8_t* at) { return _mm512_loadu_si512(at); }
    static std::uint64_t equal(const std::uint8_t* at, vector value) {
        return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(at), value);
    }
};

}  // namespace

prefilter_result prefilter_avx512(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                  const needle_filter& filter, const match_list& matches,
                                  unsigned give_up_shift) {
    return run_prefilter<avx512_simd>(haystack, length, from, filter, matches, give_up_shift);
}

}  // namespace bytehunt
