// The search string and the byte pattern it stands for.
#pragma once

#include <cstddef>
#include <cstdint>

// Most bytes a pattern may hold; also the number the too-long message prints.
constexpr std::size_t pattern_capacity = 128;

struct search_pattern_record {
    std::uint8_t bytes[pattern_capacity];  // the pattern, first byte first
    std::size_t char_count;                // characters in the search string
    std::size_t byte_count;                // bytes in use: char_count / 2
};

// Written only by parse_search_string, read by the scan afterwards.
extern search_pattern_record search_pattern;

// Results of parse_search_string.
constexpr int parse_ok = 0;
constexpr int parse_odd_length = -1;
constexpr int parse_bad_character = -2;
constexpr int parse_too_long = -3;

// Checks the hex search string and fills search_pattern. The checks run in a
// fixed order: odd length, then more than pattern_capacity bytes, then the
// characters; the first that fails decides the result.
int parse_search_string(const char* text);
