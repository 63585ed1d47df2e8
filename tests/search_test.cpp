// Every CPU path and the Two-Way fallback against the plain reference search,
// on inputs built to have many partial matches.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "memory_source.hpp"
#include "search/two_way.hpp"

namespace {

using bytehunt::cpu_path;
using test_support::reference_offsets;
using test_support::scanned_offsets;
using bytes = std::vector<std::uint8_t>;

std::vector<cpu_path> supported_paths() {
    std::vector<cpu_path> paths;
    for (cpu_path path : bytehunt::all_cpu_paths) {
        if (bytehunt::cpu_path_supported(path)) paths.push_back(path);
    }
    return paths;
}

#if defined(BYTEHUNT_X86)
// The program reads the CPU's features itself; the compiler's own checks
// are the reference. A path claimed where the CPU or the system lacks it
// would stop the program on its first instruction.
TEST(CpuPaths, SupportedAsTheCompilerSees) {
    __builtin_cpu_init();
    const bool has_bits = __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
    EXPECT_EQ(bytehunt::cpu_path_supported(cpu_path::sse2), __builtin_cpu_supports("sse2") != 0);
    EXPECT_EQ(bytehunt::cpu_path_supported(cpu_path::avx2), __builtin_cpu_supports("avx2") && has_bits);
    EXPECT_EQ(bytehunt::cpu_path_supported(cpu_path::avx512), __builtin_cpu_supports("avx512bw") && has_bits);
}
#endif

// Paths from the CPU's identification words, for CPUs and systems unlike
// this one: a path claimed where either lacks it stops the program.
TEST(CpuPaths, ReadFromTheIdentificationWords) {
    constexpr unsigned sse2 = 1U << 26, popcnt = 1U << 23, osxsave = 1U << 27, avx = 1U << 28;  // leaf 1
    constexpr unsigned bmi1 = 1U << 3, avx2 = 1U << 5, avx512 = 1U << 16 | 1U << 30;            // leaf 7
    const unsigned ecx = popcnt | osxsave | avx;
    const std::pair<bytehunt::x86_words, std::string> rows[] = {
        // and SSE2, AVX2, AVX-512 or not
        {{13, ecx, sse2, 0xe7, bmi1 | avx2 | avx512}, "111"},
        {{13, ecx, sse2, 0xe7, bmi1 | avx2 | 1U << 16}, "110"},          // AVX-512F without BW
        {{13, ecx, sse2, 0x7, bmi1 | avx2 | avx512}, "110"},             // AVX-512's state not saved
        {{13, ecx, sse2, 0x3, bmi1 | avx2}, "100"},                      // AVX's state not saved
        {{13, ecx, sse2, 0x7, bmi1}, "100"},                             // AVX, no AVX2
        {{13, popcnt | osxsave, sse2, 0x7, bmi1 | avx2}, "100"},         // no AVX
        {{13, osxsave | avx, sse2, 0xe7, bmi1 | avx2 | avx512}, "100"},  // no POPCNT
        {{13, 0, 1U << 25, 0, 0}, "000"},                                // SSE without SSE2
    };
    for (const auto& [words, paths] : rows) {
        const bytehunt::x86_paths found = bytehunt::x86_paths_from(words);
        EXPECT_EQ(std::string({char('0' + found.sse2), char('0' + found.avx2), char('0' + found.avx512)}),
                  paths)
            << "leaf 1 " << words.ecx1 << " " << words.edx1 << ", saved " << words.saved << ", leaf 7 "
            << words.ebx7;
    }
}

// Random bytes from a small alphabet, so that partial matches are everywhere.
bytes random_bytes(std::mt19937& rng, std::size_t length, const bytes& alphabet) {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    bytes out(length);
    for (auto& b : out) b = alphabet[pick(rng)];
    return out;
}

bytes repeated(const bytes& unit, std::size_t times) {
    bytes out;
    for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

TEST(Search, EveryPathAgreesWithTheReferenceOnRandomInput) {
    std::mt19937 rng(12345);
    const bytes alphabets[] = {{0x41, 0x42}, {0x00, 0x0d, 0x0a}, {0x41, 0x42, 0x43, 0xff}};
    for (cpu_path path : supported_paths()) {
        SCOPED_TRACE(bytehunt::cpu_path_name(path));
        for (std::size_t needle_length = 1; needle_length <= 128; ++needle_length) {
            for (int trial = 0; trial < 8; ++trial) {
                const bytes& alphabet = alphabets[trial % 3];
                bytes haystack = random_bytes(rng, 64 + rng() % 1500, alphabet);
                // Trials 4 and up open with a KiB that lacks every needle byte.
                if (trial >= 4) haystack.insert(haystack.begin(), 1100, 0xee);
                // Needles cut from the haystack (they occur), drawn from its
                // letters, or cut and then given a byte it lacks (near misses).
                bytes needle = random_bytes(rng, needle_length, alphabet);
                if (trial % 4 != 1 && haystack.size() > needle_length + 1100) {
                    const std::size_t at = 1100 + rng() % (haystack.size() - needle_length - 1100);
                    needle.assign(haystack.begin() + at, haystack.begin() + at + needle_length);
                    if (trial % 4 == 2) needle[rng() % needle_length] = 0x99;
                }
                const auto expected = reference_offsets(haystack, needle);
                const std::size_t block = needle_length + rng() % 300;
                ASSERT_EQ(scanned_offsets(haystack, needle, path, 1 << 16), expected)
                    << "length " << needle_length;
                ASSERT_EQ(scanned_offsets(haystack, needle, path, block, 1 + rng() % 97), expected)
                    << "length " << needle_length << " block " << block;
            }
        }
    }
}

// A kernel that gives up in the very step in which it recorded an
// occurrence resumes past that occurrence, where it gave up.
TEST(Search, KernelThatGivesUpAfterAnOccurrenceResumesPastIt) {
    const bytes needle = {0x41, 0x42, 0x43};
    const bytes false_candidate = {0x41, 0x42, 0x00};
    bytes haystack = repeated(false_candidate, 32);  // 32 false candidates, then the needle at 96
    haystack.insert(haystack.end(), needle.begin(), needle.end());
    const bytes tail = repeated(false_candidate, 20);  // the 33rd, at 99 in the same step, gives up
    haystack.insert(haystack.end(), tail.begin(), tail.end());
    const bytehunt::needle_filter filter{needle.data(), 3, 2, {0, 1}, {0x41, 0x42}, nullptr, {}};
    for (cpu_path path : supported_paths()) {
        std::size_t starts[4];
        const bytehunt::prefilter_result result =
            bytehunt::kernel_for(path)(haystack.data(), haystack.size(), 0, filter, {starts, 4}, 7);
        EXPECT_EQ(result.count, 1u) << bytehunt::cpu_path_name(path);
        EXPECT_EQ(starts[0], 96u) << bytehunt::cpu_path_name(path);
        EXPECT_TRUE(result.gave_up) << bytehunt::cpu_path_name(path);
        EXPECT_EQ(result.resume, 100u) << bytehunt::cpu_path_name(path);
    }
}

// A kernel whose list fills resumes past the last occurrence recorded, be it
// found in a vector step, one of a step's whole set, or in the starts after
// the last full step: resuming inside it would report an overlapping
// occurrence. Each filter compares every byte, so it never gives up.
TEST(Search, KernelWithAFullListResumesPastTheLastOccurrence) {
    using bytehunt::needle_overlap;
    // Runs of zeros that end on a multiple of five, one past it, at a step's
    // end and at the haystack's end, each followed at once by the next.
    bytes runs(10, 0);
    for (std::size_t run : {7, 300, 5}) {
        runs.push_back(7);
        runs.insert(runs.end(), run, 0);
    }
    // Repetitions of an 8-byte unit broken a byte before, at and after where
    // the next occurrence of two and a half units would end.
    const bytes unit = {0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68};
    bytes period = repeated(unit, 40);
    for (std::size_t cut : {19, 20, 21}) {
        period.insert(period.end(), unit.begin(), unit.begin() + 2);
        period.push_back(0x7a);
        period.insert(period.end(), unit.begin(), unit.end());
        const bytes more = repeated(unit, 5);
        period.insert(period.end(), more.begin(), more.begin() + static_cast<std::ptrdiff_t>(cut));
    }
    const struct {
        bytes needle;
        bytes haystack;
        needle_overlap overlap;
        std::size_t compared = 0;  // positions the filter compares, from the first; 0 for all
        std::size_t period = 0;    // the needle's, for the filter
    } cases[] = {
        {{0x41, 0x42, 0x41, 0x42},
         repeated({0x41, 0x42, 0x41, 0x42, 0x41, 0x42, 0x10, 0x20, 0x30, 0x40}, 30),
         needle_overlap::any},
        {{0, 0, 0}, repeated({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, 40), needle_overlap::same_byte},
        {{0, 0}, bytes(500, 0), needle_overlap::same_byte},
        {{0x0d, 0x0a}, repeated({0x0d, 0x0a}, 250), needle_overlap::none},
        {{0x41}, bytes(300, 0x41), needle_overlap::none},
        {bytes(5, 0), runs, needle_overlap::any, 2, 1},
        {bytes(5, 0), bytes(325, 0), needle_overlap::any, 2, 1},  // one occurrence more than a list of 64
        {{0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x61, 0x62,
          0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x61, 0x62, 0x63, 0x64},
         period,
         needle_overlap::any,
         2,
         8},
    };
    for (const auto& c : cases) {
        const auto expected = reference_offsets(c.haystack, c.needle);
        const std::size_t compared = c.compared > 0 ? c.compared : c.needle.size();
        bytehunt::needle_filter filter{c.needle.data(), c.needle.size(), compared, {}, {},
                                       nullptr,         c.overlap,       c.period};
        // Every row's needle fits the filter; the bound is said for the compiler.
        for (std::size_t k = 0; k < compared && k < bytehunt::max_filter_positions; ++k) {
            filter.offsets[k] = k;
            filter.values[k] = c.needle[k];
        }
        for (cpu_path path : supported_paths()) {
            // 64 and 96 fill the list with a whole step's set; 1 and 2 one at a time.
            for (std::size_t capacity : {1, 2, 64, 96}) {
                std::vector<std::uint64_t> found;
                std::vector<std::size_t> starts(capacity + 1, 7777);
                for (std::size_t from = 0; from + c.needle.size() <= c.haystack.size();) {
                    const bytehunt::prefilter_result result = bytehunt::kernel_for(path)(
                        c.haystack.data(), c.haystack.size(), from, filter, {starts.data(), capacity}, 7);
                    ASSERT_FALSE(result.gave_up);
                    ASSERT_GT(result.resume, from);
                    ASSERT_LE(result.count, capacity);
                    ASSERT_EQ(starts[capacity], 7777u);  // nothing written past the list
                    found.insert(found.end(), starts.begin(), starts.begin() + result.count);
                    from = result.resume;
                }
                EXPECT_EQ(found, expected) << bytehunt::cpu_path_name(path) << " capacity " << capacity
                                           << " needle length " << c.needle.size();
            }
        }
    }
}

// Only needles whose occurrences cannot overlap, or overlap in runs of one
// byte, may have each step's occurrences taken at once; a needle's period
// tells where its repetitions recur.
TEST(Search, NeedleOverlapKinds) {
    using bytehunt::needle_overlap;
    const struct {
        bytes needle;
        needle_overlap expected;
        std::size_t period;
    } cases[] = {
        {{0x41}, needle_overlap::none, 1},
        {{0x00, 0x00}, needle_overlap::same_byte, 1},
        {{0x0d, 0x0a}, needle_overlap::none, 2},
        {{0x42, 0x41, 0x41}, needle_overlap::none, 3},
        {{0x41, 0x41, 0x42}, needle_overlap::none, 3},
        {{0x41, 0x42, 0x41}, needle_overlap::any, 2},
        {{0x41, 0x42, 0x42, 0x41, 0x42}, needle_overlap::any, 3},
        {{0x41, 0x41, 0x42, 0x41, 0x41, 0x41}, needle_overlap::any, 4},
        {{0x41, 0x42, 0x41, 0x42, 0x41, 0x41}, needle_overlap::any, 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bytehunt::overlap_of(c.needle.data(), c.needle.size()), c.expected) << c.needle.size();
        EXPECT_EQ(bytehunt::smallest_period(c.needle.data(), c.needle.size()), c.period) << c.needle.size();
    }
}

// The filter's positions are different needle positions holding the bytes
// it compares: a filter as long as the needle skips the full compare, which
// is only right when every position is covered once.
TEST(Search, FilterPositionsAreDistinctNeedlePositions) {
    const struct {
        bytes needle;
        bytes sample;
        std::vector<std::uint32_t> misses;  // learned failures per position
    } cases[] = {
        {{0x41, 0x42}, bytes(1024, 0x41), {0, 9}},
        {{0x41, 0x42, 0x41}, bytes(1024, 0x42), {9, 9, 9}},
        {{0, 0xff, 0, 0xff, 0, 0xff, 0, 0xff, 0, 0xff, 0, 0xff},
         bytes(1024, 0xff),
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {bytes(30, 0x43), {}, std::vector<std::uint32_t>(30, 0)},
    };
    for (const auto& c : cases) {
        std::vector<std::uint32_t> misses = c.misses;
        const bytehunt::needle_filter filter = bytehunt::choose_filter(
            c.needle.data(), c.needle.size(), c.sample.data(), c.sample.size(), misses.data());
        ASSERT_GE(filter.count, 2u);
        ASSERT_LE(filter.count, std::min(c.needle.size(), bytehunt::max_filter_positions));
        for (std::size_t k = 0; k < filter.count; ++k) {
            EXPECT_EQ(filter.values[k], c.needle[filter.offsets[k]]);
            for (std::size_t j = 0; j < k; ++j) EXPECT_NE(filter.offsets[j], filter.offsets[k]);
        }
    }
}

TEST(Search, PeriodicNeedlesAndAdversarialInputs) {
    // Needles and haystacks that defeat a byte-pair filter: every position is
    // a candidate and most fail late, so the search must fall back to Two-Way.
    struct adversarial {
        bytes needle;
        bytes haystack;
    };
    const bytes a63b = [] {
        bytes v(63, 0x41);
        v.push_back(0x42);
        return v;
    }();
    const adversarial cases[] = {
        {bytes(64, 0x41), repeated(a63b, 200)},
        {repeated({0x41, 0x42}, 40), repeated({0x41, 0x42, 0x41, 0x42, 0x41, 0x41}, 500)},
        {[] {
             bytes v(127, 0x00);
             v.push_back(0x01);
             return v;
         }(),
         repeated(
             [] {
                 bytes v(126, 0x00);
                 v.push_back(0x01);
                 return v;
             }(),
             100)},
        {bytes(128, 0x41), bytes(10000, 0x41)},
        {[] {
             bytes v(15, 0x41);
             v.push_back(0x42);
             v.insert(v.end(), 16, 0x41);
             return v;
         }(),
         bytes(5000, 0x41)},
    };
    for (cpu_path path : supported_paths()) {
        SCOPED_TRACE(bytehunt::cpu_path_name(path));
        for (const adversarial& c : cases) {
            bytes haystack = c.haystack;
            haystack.insert(haystack.end(), c.needle.begin(), c.needle.end());  // one sure hit at the end
            const auto expected = reference_offsets(haystack, c.needle);
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(scanned_offsets(haystack, c.needle, path, 1 << 16), expected);
            EXPECT_EQ(scanned_offsets(haystack, c.needle, path, 300, 77), expected);
        }
    }
}

// Data made of regions that each call for another filter, or for Two-Way,
// with occurrences planted in every region: the searcher must change course
// inside blocks and across them and still agree with the reference.
TEST(Search, AdaptsToEachRegionOfTheData) {
    std::mt19937 rng(4242);
    constexpr std::size_t region = 300 * 1024;
    bytes every_byte(256);
    for (std::size_t i = 0; i < 256; ++i) every_byte[i] = static_cast<std::uint8_t>(i);
    bytes a127b(127, 0x41);
    a127b.push_back(0x42);
    const bytes erased(region, 0xff);
    const bytes zeros(region, 0x00);
    const bytes two_letters = random_bytes(rng, region, {0x41, 0x42});
    const bytes near_misses = repeated(a127b, region / a127b.size());  // defeats every filter
    const bytes random = random_bytes(rng, region, every_byte);

    struct adaptive_case {
        bytes needle;
        std::vector<const bytes*> regions;
        std::size_t filter_choices;  // at least
        std::size_t two_way_regions;
        std::size_t widest_filter;
    };
    const adaptive_case cases[] = {
        {{0xff, 0xff, 0x00, 0x00}, {&random, &erased, &zeros, &erased, &two_letters}, 4, 0, 2},
        {random_bytes(rng, 32, {0x41, 0x42}), {&random, &two_letters, &erased, &two_letters}, 2, 0, 6},
        {bytes(128, 0x41), {&random, &near_misses, &random, &near_misses, &two_letters}, 3, 2, 2},
    };
    for (cpu_path path : supported_paths()) {
        SCOPED_TRACE(bytehunt::cpu_path_name(path));
        for (const adaptive_case& c : cases) {
            bytes haystack;
            for (const bytes* part : c.regions) {
                const std::size_t at = haystack.size();
                haystack.insert(haystack.end(), part->begin(), part->end());
                for (std::size_t plant = at + 1000; plant + c.needle.size() < haystack.size();
                     plant += 70000) {
                    std::copy(c.needle.begin(), c.needle.end(),
                              haystack.begin() + static_cast<std::ptrdiff_t>(plant));
                }
            }
            bytehunt::searcher finder(c.needle.data(), c.needle.size(), path);
            test_support::memory_source source(haystack, 100000);
            test_support::vector_sink sink;
            ASSERT_EQ(bytehunt::search_stream(finder, source, sink, 256 * 1024),
                      bytehunt::scan_outcome::complete);
            EXPECT_EQ(sink.offsets_, reference_offsets(haystack, c.needle));
            const bytehunt::searcher_stats& stats = finder.stats();
            EXPECT_GE(stats.filter_choices, c.filter_choices);
            EXPECT_GE(stats.two_way_regions, c.two_way_regions);
            EXPECT_GE(stats.widest_filter, c.widest_filter);
        }
    }
}

TEST(Search, TwoWayAgreesWithTheReferenceOnPeriodicNeedles) {
    std::mt19937 rng(777);
    for (int trial = 0; trial < 3000; ++trial) {
        // A short random unit repeated, sometimes with one byte changed.
        const bytes unit = random_bytes(rng, 1 + rng() % 5, {0x61, 0x62, 0x63});
        bytes needle = repeated(unit, 1 + rng() % 12);
        if (needle.size() > 128) needle.resize(128);
        if (rng() % 2 == 0) needle[rng() % needle.size()] ^= 1;
        const bytes haystack = random_bytes(rng, rng() % 400, {0x61, 0x62, 0x63});
        const bytehunt::two_way_searcher two_way(needle.data(), needle.size());
        for (std::size_t from = 0; from <= haystack.size(); from += 1 + rng() % 40) {
            ASSERT_EQ(two_way.find(haystack.data(), haystack.size(), from),
                      bytehunt::reference_find(haystack.data(), haystack.size(), from, needle.data(),
                                               needle.size()));
        }
    }
}

}  // namespace
