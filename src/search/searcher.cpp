#include "searcher.hpp"

#include <cstring>
#include <initializer_list>

namespace bytehunt {

bool cpu_path_supported(cpu_path path) {
    switch (path) {
        case cpu_path::portable: return true;
#if defined(BYTEHUNT_X86)
        case cpu_path::sse2: return __builtin_cpu_supports("sse2");
        case cpu_path::avx2: return __builtin_cpu_supports("avx2");
        case cpu_path::avx512: return __builtin_cpu_supports("avx512bw");
#else
        default: return false;
#endif
    }
    return false;
}

cpu_path best_cpu_path() {
    for (const cpu_path path : {cpu_path::avx512, cpu_path::avx2, cpu_path::sse2}) {
        if (cpu_path_supported(path)) return path;
    }
    return cpu_path::portable;
}

namespace {

prefilter_kernel kernel_for(cpu_path path) {
#if defined(BYTEHUNT_X86)
    if (cpu_path_supported(path)) {
        switch (path) {
            case cpu_path::avx512: return prefilter_avx512;
            case cpu_path::avx2: return prefilter_avx2;
            case cpu_path::sse2: return prefilter_sse2;
            case cpu_path::portable: break;
        }
    }
#else
    (void)path;
#endif
    return prefilter_portable;
}

}  // namespace

searcher::searcher(const std::uint8_t* needle, std::size_t length, cpu_path path)
    : needle_(needle),
      length_(length),
      kind_(length == 0   ? kind::empty
            : length == 1 ? kind::one_byte
                          : kind::filtered),
      two_way_(needle, length) {
    if (kind_ == kind::filtered) {
        rare_pair_ = choose_rare_pair(needle, length);
        kernel_ = kernel_for(path);
    }
}

std::size_t searcher::find_all(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                               const match_list& matches, std::size_t& resume) {
    std::size_t count = 0;
    if (kind_ == kind::filtered) {
        const prefilter_result result = kernel_(haystack, length, from, rare_pair_, matches);
        resume = result.resume;
        if (!result.gave_up) return result.count;
        kind_ = kind::two_way;
        count = result.count;
        from = result.resume;
    }
    // Every start before `from` has been decided, whichever path got here.
    resume = from;
    for (std::size_t hit;
         count < matches.capacity && (hit = find_one(haystack, length, from)) != not_found;) {
        matches.starts[count++] = hit;
        from = resume = hit + length_;
    }
    return count;
}

std::size_t searcher::find_one(const std::uint8_t* haystack, std::size_t length, std::size_t from) const {
    if (from >= length) return not_found;
    switch (kind_) {
        case kind::one_byte: {
            const void* hit = std::memchr(haystack + from, needle_[0], length - from);
            return hit == nullptr
                       ? not_found
                       : static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - haystack);
        }
        case kind::two_way: return two_way_.find(haystack, length, from);
        case kind::empty:
        case kind::filtered: break;
    }
    return not_found;
}

}  // namespace bytehunt
