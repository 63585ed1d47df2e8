#include "pattern.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parse_case {
    std::string text;
    int result;
    std::vector<std::uint8_t> bytes;  // checked only on success
};

TEST(ParseSearchString, ResultsAndBytes) {
    const std::string max_length(256, 'f');
    const parse_case cases[] = {
        {"", parse_ok, {}},
        {"00", parse_ok, {0x00}},
        {"ab", parse_ok, {0xab}},
        {"AB", parse_ok, {0xab}},
        {"aB", parse_ok, {0xab}},
        {"Ab", parse_ok, {0xab}},
        {"0d0a1A", parse_ok, {0x0d, 0x0a, 0x1a}},
        {"09afAF", parse_ok, {0x09, 0xaf, 0xaf}},
        // Length is checked before the characters.
        {"a", parse_odd_length, {}},
        {"zzz", parse_odd_length, {}},
        {"0x41", parse_bad_character, {}},
        {"+1", parse_bad_character, {}},
        {"-1", parse_bad_character, {}},
        {" 1", parse_bad_character, {}},
        {"g0", parse_bad_character, {}},
        {"0G", parse_bad_character, {}},
        {"41G2", parse_bad_character, {}},
        {"\xc3\xa9", parse_bad_character, {}},
        {"\xff\x80", parse_bad_character, {}},
        // 256 characters fit; 258 of any kind do not, whatever the characters.
        {max_length, parse_ok, std::vector<std::uint8_t>(128, 0xff)},
        {max_length + "ff", parse_too_long, {}},
        {std::string(258, 'z'), parse_too_long, {}},
        {std::string(257, 'z'), parse_odd_length, {}},
    };
    for (const parse_case& c : cases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        ASSERT_EQ(parse_search_string(c.text.c_str()), c.result);
        EXPECT_EQ(search_pattern.char_count, c.text.size());
        if (c.result == parse_ok) {
            ASSERT_EQ(search_pattern.byte_count, c.bytes.size());
            EXPECT_EQ(std::vector<std::uint8_t>(search_pattern.bytes, search_pattern.bytes + c.bytes.size()),
                      c.bytes);
        }
    }
}

TEST(ParseSearchString, EveryByteValueRoundTrips) {
    static const char digits[] = "0123456789abcdef";
    for (unsigned value = 0; value < 256; ++value) {
        const char text[] = {digits[value >> 4], digits[value & 15], '\0'};
        ASSERT_EQ(parse_search_string(text), parse_ok);
        EXPECT_EQ(search_pattern.bytes[0], value);
    }
}

}  // namespace
