#include "console.hpp"

#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace bytehunt {
namespace {

constexpr char32_t replacement = 0xfffd;

// The code point of the UTF-8 sequence at text[at], and its length; a byte
// that starts no valid sequence (a stray continuation byte, an overlong form,
// a surrogate, beyond U+10FFFF, cut short) is one replacement character.
char32_t decode(const std::string& text, std::size_t at, std::size_t& length) {
    const auto lead = static_cast<std::uint8_t>(text[at]);
    length = 1;
    if (lead < 0x80) return lead;
    std::size_t extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if ((lead & 0xe0) == 0xc0) {
        extra = 1, code = lead & 0x1fu, minimum = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        extra = 2, code = lead & 0x0fu, minimum = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        extra = 3, code = lead & 0x07u, minimum = 0x10000;
    } else {
        return replacement;
    }
    if (text.size() - at <= extra) return replacement;
    for (std::size_t i = 1; i <= extra; ++i) {
        const auto next = static_cast<std::uint8_t>(text[at + i]);
        if ((next & 0xc0) != 0x80) return replacement;
        code = code << 6 | (next & 0x3fu);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return replacement;
    length = extra + 1;
    return code;
}

}  // namespace

std::u16string console_text(const std::string& text) {
    std::u16string out;
    out.reserve(text.size() + 8);
    for (std::size_t at = 0, length = 0; at < text.size(); at += length) {
        const char32_t code = decode(text, at, length);
        if (code == U'\n') out.push_back(u'\r');
        if (code < 0x10000) {
            out.push_back(static_cast<char16_t>(code));
        } else {
            out.push_back(static_cast<char16_t>(0xd800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 + ((code - 0x10000) & 0x3ff)));
        }
    }
    return out;
}

void print_text(const std::string& text) {
#if defined(_WIN32)
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode) != 0) {
        // What stdio holds must show first.
        std::fflush(stdout);
        const std::u16string wide = console_text(text);
        DWORD written = 0;
        if (WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0)
            return;
    }
#endif
    std::fputs(text.c_str(), stdout);
}

}  // namespace bytehunt
