// 16 bytes a step; every ARM64 CPU has NEON (Advanced SIMD).
#include <arm_neon.h>

#include "prefilter_loop.hpp"

namespace bytehunt {
namespace {

struct neon_simd {
    using vector = uint8x16_t;
    static constexpr std::size_t width = 16;
    // NEON has no movemask: narrowing each 16-bit lane by 4 bits leaves four
    // bits per byte, all set where the byte matched.
    static constexpr std::size_t mask_bits = 4;

    static vector broadcast(std::uint8_t byte) { return vdupq_n_u8(byte); }
    static vector load(const std::uint8_t* at) { return vld1q_u8(at); }
    static std::uint64_t equal(const std::uint8_t* at, vector value) {
        const uint8x16_t eq = vceqq_u8(vld1q_u8(at), value);
        return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(eq), 4)), 0);
    }
};

}  // namespace

prefilter_result prefilter_neon(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                                const needle_filter& filter, const match_list& matches,
                                unsigned give_up_shift) {
    return run_prefilter<neon_simd>(haystack, length, from, filter, matches, give_up_shift);
}

}  // namespace bytehunt
