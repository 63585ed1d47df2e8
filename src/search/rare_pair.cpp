// Chooses the two needle bytes least likely to occur in the files people
// search, so that the vector filter sees as few false candidates as possible.
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

// Index of the least common byte, skipping `skip`; the first one on a tie.
std::size_t rarest_index(const std::uint8_t* bytes, std::size_t length, std::size_t skip) {
    std::size_t best = length;
    for (std::size_t i = 0; i < length; ++i) {
        if (i == skip) continue;
        if (best == length || commonness[bytes[i]] < commonness[bytes[best]]) best = i;
    }
    return best;
}

}  // namespace

prefilter_needle choose_rare_pair(const std::uint8_t* bytes, std::size_t length) {
    const std::size_t first = rarest_index(bytes, length, length);
    const std::size_t second = rarest_index(bytes, length, first);
    return {bytes, length, first, second, bytes[first], bytes[second]};
}

}  // namespace bytehunt
