// The searcher for one needle: chosen once from the needle's length and the
// CPU, then used for every block of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "prefilter.hpp"
#include "two_way.hpp"

namespace bytehunt {

enum class cpu_path { portable, sse2, avx2, avx512, neon };
constexpr cpu_path all_cpu_paths[] = {cpu_path::portable, cpu_path::sse2, cpu_path::avx2, cpu_path::avx512,
                                      cpu_path::neon};
const char* cpu_path_name(cpu_path path);

// The fastest path this CPU runs.
cpu_path best_cpu_path();
bool cpu_path_supported(cpu_path path);
// The filter kernel of a path; the portable one where the CPU lacks it.
prefilter_kernel kernel_for(cpu_path path);

// What an x86 CPU's identification words say it can run: `highest` is the
// highest leaf (CPUID 0), `ecx1` and `edx1` come from leaf 1, `saved` is the
// register state the system saves on a switch (XCR0, read only where leaf 1
// sets OSXSAVE) and `ebx7` comes from leaf 7 (read only where `highest`
// reaches it).
struct x86_words {
    unsigned highest = 0;
    unsigned ecx1 = 0;
    unsigned edx1 = 0;
    std::uint64_t saved = 0;
    unsigned ebx7 = 0;
};
struct x86_paths {
    bool sse2 = false;
    bool avx2 = false;
    bool avx512 = false;
};
x86_paths x86_paths_from(const x86_words& words);

// What the searcher did, for tests and diagnostics.
struct searcher_stats {
    std::size_t filter_choices = 0;
    std::size_t widest_filter = 0;  // most positions in one filter
    std::size_t tolerant_regions = 0;
    std::size_t two_way_regions = 0;
};

// A needle of two bytes or more is searched region by region. The vector
// filter runs until its false candidates pass one per 128 bytes; then it is
// chosen anew from the bytes ahead. When that keeps failing, the region ahead
// gets a filter that tolerates one per 16, and if even that fails, Two-Way;
// after either region the filter is chosen anew, so data that changes back
// is searched at full speed again. Every step is linear in the bytes it
// covers, so the whole search is.
class searcher {
public:
    // The needle must outlive the searcher.
    searcher(const std::uint8_t* needle, std::size_t length, cpu_path path = best_cpu_path());

    const std::uint8_t* needle() const { return needle_; }
    std::size_t needle_length() const { return length_; }
    // Whether every byte of the needle is 00: then it lies all over a run
    // of zeros, a file's holes among them.
    bool zeros_only() const {
        for (std::size_t i = 0; i < length_; ++i)
            if (needle_[i] != 0) return false;
        return true;
    }
    const searcher_stats& stats() const { return stats_; }
    // How far apart occurrences lie where the data repeats the needle's
    // period: the least multiple of the period that clears the needle (1
    // for a needle that cannot overlap itself, whose occurrences a search
    // from anywhere finds alike). Searches that start on its multiples in
    // such data find the same occurrences.
    std::size_t repeat_step() const { return repeat_step_; }

    // Records occurrences left to right from `from` into `matches`, each
    // starting after the last byte of the one before, until the list is full
    // or the haystack holds no further occurrence. Returns how many, and sets
    // `resume` to where the search goes on: just past the last one recorded,
    // or past the last start tried. Not const: what the search has learned
    // about the data carries over to the next block.
    std::size_t find_all(const std::uint8_t* haystack, std::size_t length, std::size_t from,
                         const match_list& matches, std::size_t& resume);

private:
    enum class kind { empty, one_byte, filtered };
    enum class mode { strict, tolerant, two_way };

    // Runs the current mode from `from` until the list fills, the haystack
    // or the mode's region ends, or the filter gives up; then picks the next
    // mode. Returns the occurrences recorded and moves `from` past every
    // start decided. `from` must leave room for a whole needle.
    std::size_t step(const std::uint8_t* haystack, std::size_t length, std::size_t& from,
                     const match_list& matches);
    void enter(mode next);

    const std::uint8_t* needle_;
    std::size_t length_;
    std::size_t period_ = 0;  // the needle's smallest period, where shorter than the needle
    std::size_t repeat_step_ = 1;
    kind kind_;
    prefilter_kernel kernel_ = nullptr;
    two_way_searcher two_way_;
    mode mode_ = mode::strict;
    bool filter_chosen_ = false;
    needle_filter filter_{};
    std::size_t region_left_ = 0;        // starts the tolerant or Two-Way region still covers
    std::size_t since_choice_ = 0;       // starts covered since the filter was last chosen
    unsigned strikes_ = 0;               // filters that failed soon after being chosen
    std::vector<std::uint32_t> misses_;  // per needle index, see needle_filter
    searcher_stats stats_;
};

}  // namespace bytehunt
