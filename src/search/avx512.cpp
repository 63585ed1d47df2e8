// 64 bytes a step; built with AVX-512BW enabled and only called when the CPU has it.
#include <immintrin.h>

#include "prefilter_loop.hpp"

namespace bytehunt {
namespace {

struct avx512_ops {
    static constexpr std::size_t width = 64;
    __m512i rare1;
    __m512i rare2;

    unsigned long long candidates(const std::uint8_t* at1, const std::uint8_t* at2) const {
        return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(at1), rare1) &
               _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(at2), rare2);
    }
};

}  // namespace

prefilter_result prefilter_avx512(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                  const prefilter_needle& needle, const match_list& matches) {
    const avx512_ops ops{_mm512_set1_epi8(static_cast<char>(needle.rare1)),
                         _mm512_set1_epi8(static_cast<char>(needle.rare2))};
    return prefilter_loop(ops, haystack, length, from, needle, matches);
}

}  // namespace bytehunt
