// Text for the Windows console: UTF-8 to UTF-16, lines ending in CR LF.
#include "console.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleText, ShowsWhatWasTypedAndReplacesWhatIsNotUtf8) {
    const struct {
        std::string utf8;
        std::u16string expected;
    } cases[] = {
        {"Cannot open café.bin\n", u"Cannot open café.bin\r\n"},
        {"Документ 文", u"Документ 文"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},  // beyond 16 bits: a surrogate pair
        {"a\xff"
         "b",
         u"a\uFFFDb"},                                                // not a lead byte
        {"\xe6\x96", u"\uFFFD\uFFFD"},                                // cut short
        {"\xc0\xaf", u"\uFFFD\uFFFD"},                                // overlong
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},                      // a surrogate's encoding
        {"\xf4\x8f\xbf\xbf", u"\U0010FFFF"},                          // the last code point
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},            // past it
        {"\xc3(", u"\uFFFD("},                                        // a continuation byte below 80
        {"\xc3\xc3\xa9", u"\uFFFD\u00e9"},                            // and one above BF
        {"\xf8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // leads F8 to FF
        {"\xff\xfe", u"\uFFFD\uFFFD"},
        {"\xf8\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // F8 with what follows a 4-byte lead
        {"\xc2\x80\xe0\xa0\x80\xf0\x90\x80\x80", u"\u0080\u0800\U00010000"},  // the first of each length
        {"\xe0\x9f\xbf\xf0\x8f\xbf\xbf", std::u16string(7, u'\uFFFD')},       // the last overlong of each
        {"\xed\xbf\xbf", u"\uFFFD\uFFFD\uFFFD"},                              // the last surrogate
    };
    for (const auto& c : cases) EXPECT_TRUE(bytehunt::console_text(c.utf8) == c.expected) << c.utf8;
}

}  // namespace
