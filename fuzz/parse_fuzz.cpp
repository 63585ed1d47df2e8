// The search-string parser on arbitrary bytes: always one of its four
// results, and the same answer as a plain model of the rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pattern.hpp"

namespace {

bool is_hex_digit(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

int model_result(const std::string& text) {
    if (text.size() % 2 != 0) return -1;
    if (text.size() / 2 > 128) return -3;
    for (char ch : text) {
        if (!is_hex_digit(ch)) return -2;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A command-line argument ends at its first NUL.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));

    const int result = parse_search_string(text.c_str());
    if (result != model_result(text)) std::abort();
    if (search_pattern.char_count != text.size()) std::abort();
    if (result == 0) {
        if (search_pattern.byte_count != text.size() / 2) std::abort();
        for (std::size_t i = 0; i < search_pattern.byte_count; ++i) {
            const std::string pair = text.substr(2 * i, 2);
            if (search_pattern.bytes[i] != std::strtoul(pair.c_str(), nullptr, 16)) std::abort();
        }
    }
    return 0;
}
