#include "pattern.hpp"

#include <cstring>

search_pattern_record search_pattern = {};

namespace {

// Value of a hex digit, or -1 for any other character (including every byte
// with the high bit set, whatever the signedness of char).
int hex_digit_value(char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int parse_search_string(const char* text) {
    // Counted in size_t so that no length, however large, can wrap into a
    // small one and slip past the checks below.
    const std::size_t length = std::strlen(text);
    search_pattern.char_count = length;
    if (length % 2 != 0) return parse_odd_length;

    search_pattern.byte_count = length / 2;
    if (search_pattern.byte_count > pattern_capacity) return parse_too_long;

    for (std::size_t i = 0; i < length; i += 2) {
        const int high = hex_digit_value(text[i]);
        if (high < 0) return parse_bad_character;
        const int low = hex_digit_value(text[i + 1]);
        if (low < 0) return parse_bad_character;
        search_pattern.bytes[i / 2] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return parse_ok;
}
