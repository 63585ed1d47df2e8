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
         u"a\uFFFDb"},                            // not a lead byte
        {"\xe6\x96", u"\uFFFD\uFFFD"},            // cut short
        {"\xc0\xaf", u"\uFFFD\uFFFD"},            // overlong
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate's encoding
    };
    for (const auto& c : cases) EXPECT_TRUE(bytehunt::console_text(c.utf8) == c.expected) << c.utf8;
}

}  // namespace
