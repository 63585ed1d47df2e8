// Chooses the needle positions that the vector filter compares: those whose
// bytes are rarest in the data at hand, so that as few starts as possible
// pass the filter without being an occurrence.
#include <algorithm>
#include <array>

#include "prefilter.hpp"

namespace bytehunt {
namespace {

// Bytes that are common in executables, text, dumps and captures, most common
// first. Every byte not listed counts as rarer than all of these.
constexpr unsigned char common_bytes[] = {
    0x00, 0xff, ' ', 'e', 't', 'a', 'o', 'i',  'n',  's',  'r',  '\n', 'h',  'l',  'd',  'c',  'u',
    0x01, 'm',  'f', 'p', 'g', 'w', 'y', 'b',  '.',  ',',  '\r', '\t', '0',  '1',  0x02, 0x80, '2',
    '-',  'v',  'k', '_', '"', '/', ':', 0x04, 0x08, 0x10, 0x20, 0x40, 0x03, 'E',  'T',  'A',  'S',
    'I',  'O',  'N', 'R', '=', '(', ')', '3',  '4',  '5',  '6',  '7',  '8',  '9',  0xfe, 0x0f, 0xf0,
    0x7f, 0xc0, 'x', 'j', 'q', 'z', ';', '<',  '>',  '{',  '}',  0x0c, 0x18, 0x48, 0x89, 0x8b,
};

constexpr std::array<unsigned char, 256> make_commonness() {
    std::array<unsigned char, 256> table{};
    constexpr std::size_t count = sizeof(common_bytes);
    for (std::size_t i = 0; i < count; ++i) {
        if (table[common_bytes[i]] == 0) table[common_bytes[i]] = static_cast<unsigned char>(count - i);
    }
    return table;
}

constexpr std::array<unsigned char, 256> commonness = make_commonness();

// A sample this long says well enough which bytes are rare in what follows,
// and costs about a microsecond to count.
constexpr std::size_t sample_limit = 1024;

// Stop adding positions once a start passes them all with this probability
// or less, on the sample's byte frequencies taken as independent.
constexpr double enough_selectivity = 1.0 / 4096;

// A position whose byte this share of the sample holds is not worth its
// compare.
constexpr double useless_selectivity = 0.75;

// How many of the worst-failing positions join the filter.
constexpr std::size_t learned_limit = 2;

}  // namespace

needle_filter choose_filter(const std::uint8_t* bytes, std::size_t length, const std::uint8_t* sample,
                            std::size_t sample_length, std::uint32_t* misses) {
    if (sample_length > sample_limit) sample_length = sample_limit;
    // Four tables, so that a run of one byte does not wait on one counter;
    // of 16 bits, which hold a count of the sample, to keep the frame small.
    static_assert(sample_limit <= 0xffff, "a count of the sample fits in 16 bits");
    std::uint16_t counts[4][256] = {};
    std::size_t i = 0;
    for (; sample_length - i >= 4; i += 4) {
        ++counts[0][sample[i]];
        ++counts[1][sample[i + 1]];
        ++counts[2][sample[i + 2]];
        ++counts[3][sample[i + 3]];
    }
    for (; i < sample_length; ++i) ++counts[0][sample[i]];
    const auto frequency = [&](std::uint8_t byte) {
        return static_cast<std::uint32_t>(counts[0][byte] + counts[1][byte] + counts[2][byte] +
                                          counts[3][byte]);
    };

    // Needle positions from rarest to commonest in the sample; the fixed
    // ranking decides between bytes the sample saw equally often, and the
    // first of equal bytes comes first (a sort with no buffer to allocate).
    // Positions beyond the 256th are never chosen: needles are far shorter.
    const std::size_t candidates = length < 256 ? length : 256;
    std::array<std::uint8_t, 256> order{};
    for (std::size_t k = 0; k < candidates; ++k) order[k] = static_cast<std::uint8_t>(k);
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(candidates),
              [&](std::uint8_t a, std::uint8_t b) {
                  const std::uint32_t fa = frequency(bytes[a]);
                  const std::uint32_t fb = frequency(bytes[b]);
                  if (fa != fb) return fa < fb;
                  return commonness[bytes[a]] != commonness[bytes[b]]
                             ? commonness[bytes[a]] < commonness[bytes[b]]
                             : a < b;
              });

    needle_filter filter{bytes, length, 0, {}, {}, misses};
    std::array<bool, 256> used{};
    const auto add = [&](std::size_t position) {
        if (used[position] || filter.count == max_filter_positions) return;
        used[position] = true;
        filter.offsets[filter.count] = position;
        filter.values[filter.count] = bytes[position];
        ++filter.count;
    };
    add(order[0]);
    // Positions where candidates kept failing: whatever the frequencies say,
    // the data lines up with the rest of the filter there and not with these.
    if (misses != nullptr) {
        for (std::size_t learned = 0; learned < learned_limit; ++learned) {
            std::size_t worst = candidates;
            for (std::size_t k = 0; k < candidates; ++k) {
                if (misses[k] > 0 && !used[k] && (worst == candidates || misses[k] > misses[worst]))
                    worst = k;
            }
            if (worst == candidates) break;
            add(worst);
        }
        for (std::size_t k = 0; k < length; ++k) misses[k] = 0;
    }
    const double sampled = sample_length > 0 ? static_cast<double>(sample_length) : 1.0;
    double selectivity = 1.0;
    for (std::size_t k = 0; k < filter.count; ++k) {
        selectivity *= std::max(0.25, static_cast<double>(frequency(filter.values[k]))) / sampled;
    }
    for (std::size_t k = 1; k < candidates; ++k) {
        if (filter.count == max_filter_positions) break;
        if (filter.count >= 2 && (selectivity <= enough_selectivity || sample_length == 0)) break;
        if (used[order[k]]) continue;
        const double passing = std::max(0.25, static_cast<double>(frequency(bytes[order[k]]))) / sampled;
        // A byte that nearly every sampled byte equals rules out nearly nothing.
        if (filter.count >= 2 && passing > useless_selectivity) break;
        add(order[k]);
        selectivity *= passing;
    }
    return filter;
}

}  // namespace bytehunt
