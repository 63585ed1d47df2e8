#include "searcher.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "check.hpp"

#if defined(BYTEHUNT_X86)
#include <cpuid.h>
#endif

namespace bytehunt {

namespace {
bool bit(unsigned word, unsigned at) {
    return ((word >> at) & 1U) != 0;
}
}  // namespace

x86_paths x86_paths_from(const x86_words& words) {
    x86_paths paths;
    if (words.highest < 1) return paths;
    paths.sse2 = bit(words.edx1, 26);
    // The wider vectors need AVX and the state of their registers saved by
    // the system: SSE's and AVX's halves of 256-bit vectors, and for
    // AVX-512 its masks and upper halves too. Their kernels also count and
    // find bits with POPCNT and BMI1, which every CPU with them has.
    const bool bits = bit(words.ecx1, 23) && bit(words.ebx7, 3);
    if (!bit(words.ecx1, 28) || (words.saved & 0x6) != 0x6 || words.highest < 7 || !bits) return paths;
    paths.avx2 = bit(words.ebx7, 5);
    paths.avx512 = (words.saved & 0xe6) == 0xe6 && bit(words.ebx7, 16) && bit(words.ebx7, 30);
    return paths;
}

#if defined(BYTEHUNT_X86)
namespace {

// The CPU's identification words, read once, when a search first asks. The
// compiler's own checks read every feature at start-up, in every run, even
// of a search that needs none: on a virtual machine, where each CPUID
// instruction exits to the host, that was a tenth of the start-up of a
// search of a 4 KiB file. Three CPUID instructions at most: the highest
// leaf, then leaves 1 and 7.
x86_words read_x86_words() {
    x86_words words;
    words.highest = __get_cpuid_max(0, nullptr);
    if (words.highest < 1) return words;
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(1, a, b, c, d);
    words.ecx1 = c;
    words.edx1 = d;
    if (bit(c, 27)) {
        unsigned low = 0, high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        words.saved = std::uint64_t{high} << 32 | low;
    }
    if (words.highest < 7) return words;
    __cpuid_count(7, 0, a, b, c, d);
    words.ebx7 = b;
    return words;
}

const x86_paths& cpu_paths() {
    static const x86_paths paths = x86_paths_from(read_x86_words());
    return paths;
}

}  // namespace
#endif

bool cpu_path_supported(cpu_path path) {
    switch (path) {
        case cpu_path::portable: return true;
#if defined(BYTEHUNT_X86)
        case cpu_path::sse2: return cpu_paths().sse2;
        case cpu_path::avx2: return cpu_paths().avx2;
        case cpu_path::avx512: return cpu_paths().avx512;
#endif
#if defined(BYTEHUNT_NEON)
        case cpu_path::neon: return true;  // every ARM64 CPU has it
#endif
        default: return false;
    }
}

const char* cpu_path_name(cpu_path path) {
    static const char* const names[] = {"portable", "sse2", "avx2", "avx512", "neon"};
    return names[static_cast<int>(path)];
}

prefilter_kernel kernel_for(cpu_path path) {
    if (!cpu_path_supported(path)) return prefilter_portable;
    switch (path) {
#if defined(BYTEHUNT_X86)
        case cpu_path::avx512: return prefilter_avx512;
        case cpu_path::avx2: return prefilter_avx2;
        case cpu_path::sse2: return prefilter_sse2;
#endif
#if defined(BYTEHUNT_NEON)
        case cpu_path::neon: return prefilter_neon;
#endif
        default: return prefilter_portable;
    }
}

cpu_path best_cpu_path() {
    for (const cpu_path path : {cpu_path::avx512, cpu_path::avx2, cpu_path::sse2, cpu_path::neon}) {
        if (cpu_path_supported(path)) return path;
    }
    return cpu_path::portable;
}

namespace {

// False candidates tolerated, one per 2^shift bytes: few in the normal mode,
// where the filter is chosen anew when it is passed; more in the tolerant one,
// where a filter still beats Two-Way over bytes of a small alphabet.
constexpr unsigned strict_shift = 7;
constexpr unsigned tolerant_shift = 4;
// A filter that ran this far before it failed did its job: the data changed.
constexpr std::size_t settled_distance = std::size_t{64} * 1024;
// Filters in a row that may fail soon after being chosen before the region
// ahead is searched in the tolerant mode.
constexpr unsigned strikes_allowed = 3;
constexpr std::size_t tolerant_region = std::size_t{256} * 1024;
constexpr std::size_t two_way_region = std::size_t{64} * 1024;

}  // namespace

searcher::searcher(const std::uint8_t* needle, std::size_t length, cpu_path path)
    : needle_(needle),
      length_(length),
      kind_(length == 0   ? kind::empty
            : length == 1 ? kind::one_byte
                          : kind::filtered),
      two_way_(needle, length) {
    const std::size_t period = smallest_period(needle, length);
    if (period > 0 && period < length) {
        period_ = period;
        repeat_step_ = bytehunt::repeat_step(length, period);
    }
    if (kind_ == kind::filtered) {
        kernel_ = kernel_for(path);
        misses_.assign(length, 0);
    } else if (kind_ == kind::one_byte && path != cpu_path::portable && cpu_path_supported(path)) {
        // A vector kernel takes every occurrence in each step from one mask;
        // memchr, called again for each, cost 10 ns an occurrence where they
        // are a few hundred bytes apart. The filter is the needle itself.
        kernel_ = kernel_for(path);
        filter_.bytes = needle;
        filter_.length = 1;
        filter_.count = 1;
        filter_.values[0] = needle[0];
        filter_.overlap = needle_overlap::none;
    }
}

std::size_t searcher::find_all(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                               const match_list& matches, std::size_t& resume) {
    std::size_t count = 0;
    if (kind_ == kind::filtered) {
        while (count < matches.capacity && length >= length_ && from <= length - length_) {
            const std::size_t before = from;
            count += step(haystack, length, from, {matches.starts + count, matches.capacity - count});
            BYTEHUNT_CHECK(from > before);
        }
    } else if (kind_ == kind::one_byte && kernel_ != nullptr) {
        const prefilter_result result = kernel_(haystack, length, from, filter_, matches, strict_shift);
        count = result.count;
        from = result.resume;
    } else if (kind_ == kind::one_byte) {
        for (; count < matches.capacity && from < length; ++count) {
            const void* hit = std::memchr(haystack + from, needle_[0], length - from);
            if (hit == nullptr) {
                from = length;
                break;
            }
            const auto start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - haystack);
            matches.starts[count] = start;
            from = start + 1;
        }
    }
    resume = from;
    return count;
}

std::size_t searcher::step(const std::uint8_t* haystack, std::size_t length, std::size_t& from,
                           const match_list& matches) {
    if (mode_ != mode::two_way && !filter_chosen_) {
        filter_ = choose_filter(needle_, length_, haystack + from, length - from, misses_.data());
        filter_.period = period_;
        filter_chosen_ = true;
        since_choice_ = 0;
        ++stats_.filter_choices;
        if (filter_.count > stats_.widest_filter) stats_.widest_filter = filter_.count;
    }
    // Starts left in this haystack, and those this step may try.
    const std::size_t available = length - length_ + 1 - from;
    const bool limited = mode_ != mode::strict && region_left_ < available;
    const std::size_t end = from + (limited ? region_left_ : available) + length_ - 1;

    std::size_t count = 0;
    std::size_t next = from;
    bool gave_up = false;
    if (mode_ == mode::two_way) {
        while (count < matches.capacity) {
            const std::size_t hit = two_way_.find(haystack, end, next);
            if (hit == not_found) {
                if (next < end - length_ + 1) next = end - length_ + 1;
                break;
            }
            matches.starts[count++] = hit;
            next = hit + length_;
        }
    } else {
        const prefilter_result result = kernel_(haystack, end, from, filter_, matches,
                                                mode_ == mode::strict ? strict_shift : tolerant_shift);
        count = result.count;
        next = result.resume;
        gave_up = result.gave_up;
    }
    const std::size_t covered = next - from;
    from = next;
    since_choice_ += covered;
    if (mode_ != mode::strict) region_left_ -= covered < region_left_ ? covered : region_left_;

    if (gave_up) {
        filter_chosen_ = false;
        if (mode_ == mode::tolerant) {
            enter(mode::two_way);
        } else {
            strikes_ = since_choice_ < settled_distance ? strikes_ + 1 : 0;
            if (strikes_ >= strikes_allowed) enter(mode::tolerant);
        }
    } else if (mode_ != mode::strict && region_left_ == 0) {
        enter(mode::strict);
    }
    return count;
}

void searcher::enter(mode next) {
    mode_ = next;
    filter_chosen_ = false;
    strikes_ = 0;
    region_left_ = 0;
    if (next == mode::tolerant) {
        region_left_ = tolerant_region;
        ++stats_.tolerant_regions;
    } else if (next == mode::two_way) {
        region_left_ = two_way_region;
        ++stats_.two_way_regions;
    }
}

}  // namespace bytehunt
