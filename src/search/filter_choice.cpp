// Chooses the needle positions that the vector filter compares: those whose
// bytes are rarest in the data at hand, so that as few starts as possible
// pass the filter without being an occurrence.
#include <algorithm>
#include <array>
#include <cstring>

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

// How often each byte value occurs in the sample.
class byte_counts {
public:
    byte_counts(const std::uint8_t* sample, std::size_t sample_length) {
        // Four tables, so that a run of one byte does not wait on one
        // counter; of 16 bits, which hold a count of the sample, to keep the
        // object small.
        static_assert(sample_limit <= 0xffff, "a count of the sample fits in 16 bits");
        std::size_t i = 0;
        for (; sample_length - i >= 4; i += 4) {
            ++counts_[0][sample[i]];
            ++counts_[1][sample[i + 1]];
            ++counts_[2][sample[i + 2]];
            ++counts_[3][sample[i + 3]];
        }
        for (; i < sample_length; ++i) ++counts_[0][sample[i]];
    }
    std::uint32_t of(std::uint8_t byte) const {
        return static_cast<std::uint32_t>(counts_[0][byte] + counts_[1][byte] + counts_[2][byte] +
                                          counts_[3][byte]);
    }

private:
    std::uint16_t counts_[4][256] = {};
};

// The needle's first `candidates` positions from rarest to commonest in the
// sample; the fixed ranking decides between bytes the sample saw equally
// often, and the first of equal bytes comes first (a sort with no buffer to
// allocate).
std::array<std::uint8_t, 256> positions_by_rarity(const std::uint8_t* bytes, std::size_t candidates,
                                                  const byte_counts& frequency) {
    std::array<std::uint8_t, 256> order{};
    for (std::size_t k = 0; k < candidates; ++k) order[k] = static_cast<std::uint8_t>(k);
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(candidates),
              [&](std::uint8_t a, std::uint8_t b) {
                  const std::uint32_t fa = frequency.of(bytes[a]);
                  const std::uint32_t fb = frequency.of(bytes[b]);
                  if (fa != fb) return fa < fb;
                  return commonness[bytes[a]] != commonness[bytes[b]]
                             ? commonness[bytes[a]] < commonness[bytes[b]]
                             : a < b;
              });
    return order;
}

// The filter's positions as they are added, each once, up to
// max_filter_positions.
class filter_builder {
public:
    filter_builder(const std::uint8_t* bytes, std::size_t length, std::uint32_t* misses)
        : filter{bytes, length, 0, {}, {}, misses, needle_overlap::any} {}
    bool has(std::size_t position) const { return used_[position]; }
    bool full() const { return filter.count == max_filter_positions; }
    void add(std::size_t position) {
        if (used_[position] || full()) return;
        used_[position] = true;
        filter.offsets[filter.count] = position;
        filter.values[filter.count] = filter.bytes[position];
        ++filter.count;
    }

    needle_filter filter;

private:
    std::array<bool, 256> used_{};
};

// Positions where candidates kept failing: whatever the frequencies say, the
// data lines up with the rest of the filter there and not with these. The
// counts start again from zero.
void add_failing_positions(filter_builder& builder, std::uint32_t* misses, std::size_t candidates,
                           std::size_t length) {
    for (std::size_t learned = 0; learned < learned_limit; ++learned) {
        std::size_t worst = candidates;
        for (std::size_t k = 0; k < candidates; ++k) {
            if (misses[k] > 0 && !builder.has(k) && (worst == candidates || misses[k] > misses[worst]))
                worst = k;
        }
        if (worst == candidates) break;
        builder.add(worst);
    }
    for (std::size_t k = 0; k < length; ++k) misses[k] = 0;
}

bool one_byte_repeated(const std::uint8_t* bytes, std::size_t length) {
    for (std::size_t i = 1; i < length; ++i)
        if (bytes[i] != bytes[0]) return false;
    return length > 1;
}

}  // namespace

std::size_t smallest_period(const std::uint8_t* bytes, std::size_t length) {
    // The longest border of each prefix, as the Knuth-Morris-Pratt table
    // has it; the period is the length less the whole needle's border.
    std::array<std::size_t, 256> border{};
    if (length == 0 || length > border.size()) return length;
    for (std::size_t i = 1; i < length; ++i) {
        std::size_t k = border[i - 1];
        while (k > 0 && bytes[i] != bytes[k]) k = border[k - 1];
        border[i] = bytes[i] == bytes[k] ? k + 1 : 0;
    }
    return length - border[length - 1];
}

needle_overlap overlap_of(const std::uint8_t* bytes, std::size_t length) {
    if (one_byte_repeated(bytes, length)) return needle_overlap::same_byte;
    // A shift of one is a border only where every byte is the same.
    for (std::size_t shift = 2; shift < length; ++shift) {
        if (std::memcmp(bytes, bytes + shift, length - shift) == 0) return needle_overlap::any;
    }
    return needle_overlap::none;
}

needle_filter choose_filter(const std::uint8_t* bytes, std::size_t length, const std::uint8_t* sample,
                            std::size_t sample_length, std::uint32_t* misses) {
    if (sample_length > sample_limit) sample_length = sample_limit;
    const byte_counts frequency(sample, sample_length);
    // Positions beyond the 256th are never chosen: needles are far shorter.
    const std::size_t candidates = length < 256 ? length : 256;
    const std::array<std::uint8_t, 256> order = positions_by_rarity(bytes, candidates, frequency);

    filter_builder builder(bytes, length, misses);
    builder.add(order[0]);
    if (misses != nullptr) add_failing_positions(builder, misses, candidates, length);
    // Then the rarest positions, until a start passes them all seldom enough.
    const double sampled = sample_length > 0 ? static_cast<double>(sample_length) : 1.0;
    const auto passing = [&](std::uint8_t byte) {
        return std::max(0.25, static_cast<double>(frequency.of(byte))) / sampled;
    };
    double selectivity = 1.0;
    for (std::size_t k = 0; k < builder.filter.count; ++k) selectivity *= passing(builder.filter.values[k]);
    for (std::size_t k = 1; k < candidates && !builder.full(); ++k) {
        const std::size_t count = builder.filter.count;
        if (count >= 2 && (selectivity <= enough_selectivity || sample_length == 0)) break;
        if (builder.has(order[k])) continue;
        // A byte that nearly every sampled byte equals rules out nearly nothing.
        if (count >= 2 && passing(bytes[order[k]]) > useless_selectivity) break;
        selectivity *= passing(bytes[order[k]]);
        builder.add(order[k]);
    }
    if (builder.filter.count == length) builder.filter.overlap = overlap_of(bytes, length);
    return builder.filter;
}

}  // namespace bytehunt
