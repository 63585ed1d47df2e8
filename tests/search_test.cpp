// Every CPU path and the Two-Way fallback against the plain reference search,
// on inputs built to have many partial matches.
#include <gtest/gtest.h>

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
    for (cpu_path path : {cpu_path::portable, cpu_path::sse2, cpu_path::avx2, cpu_path::avx512}) {
        if (bytehunt::cpu_path_supported(path)) paths.push_back(path);
    }
    return paths;
}

std::string path_name(cpu_path path) {
    switch (path) {
        case cpu_path::portable: return "portable";
        case cpu_path::sse2: return "sse2";
        case cpu_path::avx2: return "avx2";
        case cpu_path::avx512: return "avx512";
    }
    return "?";
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
        SCOPED_TRACE(path_name(path));
        for (std::size_t needle_length = 1; needle_length <= 128; ++needle_length) {
            for (int trial = 0; trial < 6; ++trial) {
                const bytes& alphabet = alphabets[trial % 3];
                const bytes haystack = random_bytes(rng, 64 + rng() % 1500, alphabet);
                // Half the needles are cut from the haystack so that they occur.
                bytes needle = random_bytes(rng, needle_length, alphabet);
                if (trial % 2 == 0 && haystack.size() > needle_length) {
                    const std::size_t at = rng() % (haystack.size() - needle_length);
                    needle.assign(haystack.begin() + at, haystack.begin() + at + needle_length);
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
        SCOPED_TRACE(path_name(path));
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
