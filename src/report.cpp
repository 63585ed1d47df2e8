#include "report.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace bytehunt {
namespace {

constexpr char header[] = "Found at offset\n";

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__

// Digits are assembled eight at a time in a 64-bit register, the first digit
// in the lowest byte, and stored with one write: no byte is stored and then
// read back, which would stall the CPU.

// "00" to "99".
struct decimal_pairs_table {
    char text[200];
    constexpr decimal_pairs_table() : text{} {
        for (std::size_t i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr decimal_pairs_table decimal_pairs;

std::uint64_t decimal_pair(std::uint32_t value) {
    std::uint16_t pair;
    std::memcpy(&pair, decimal_pairs.text + std::size_t{2} * value, 2);
    return pair;
}

// The 8 digits of `value` (below 10^8), leading zeros included.
std::uint64_t decimal_word(std::uint32_t value) {
    const std::uint32_t high = value / 10000;
    const std::uint32_t low = value % 10000;
    return decimal_pair(high / 100) | decimal_pair(high % 100) << 16 | decimal_pair(low / 100) << 32 |
           decimal_pair(low % 100) << 48;
}

// Digits in `value` (below 10^8): bits * 1233 / 4096 is floor(bits * log10 2)
// for these bit counts, the number of digits or one less.
std::size_t decimal_length(std::uint32_t value) {
    static constexpr std::uint32_t powers_of_ten[] = {1,      10,      100,      1000,     10000,
                                                      100000, 1000000, 10000000, 100000000};
    const std::uint32_t nonzero = value | 1;
    const auto estimate = static_cast<std::size_t>(((32 - __builtin_clz(nonzero)) * 1233) >> 12);
    return estimate + (nonzero >= powers_of_ten[estimate] ? 1 : 0);
}

// The 8 hex digits of `value`, leading zeros included: each nibble is spread
// into a byte of its own and all eight become characters at once.
std::uint64_t hex_word(std::uint32_t value) {
    std::uint64_t x = value;
    x = ((x & 0xffff0000u) << 16) | (x & 0xffffu);
    x = ((x & 0x0000ff000000ff00u) << 8) | (x & 0x000000ff000000ffu);
    x = ((x & 0x00f000f000f000f0u) << 4) | (x & 0x000f000f000f000fu);
    // Bytes holding 10 to 15 need 'a' - '0' - 10 more than those holding 0 to 9.
    const std::uint64_t letters = ((x + 0x0606060606060606u) >> 4) & 0x0101010101010101u;
    x += 0x3030303030303030u + letters * ('a' - '0' - 10);
    return __builtin_bswap64(x);  // the most significant digit first
}

std::size_t hex_length(std::uint32_t value) {
    return static_cast<std::size_t>(32 - __builtin_clz(value | 1) + 3) / 4;
}

// Stores the word's last `length` digits at `out`; the 8 - length bytes after
// them are overwritten by whatever comes next.
char* put_digits(char* out, std::uint64_t word, std::size_t length) {
    word >>= 8 * (8 - length);
    std::memcpy(out, &word, 8);
    return out + length;
}

char* put_decimal(char* out, std::uint64_t value) {
    if (value < 100000000) {
        const auto small = static_cast<std::uint32_t>(value);
        return put_digits(out, decimal_word(small), decimal_length(small));
    }
    if (value < 10000000000000000u) {
        const auto high = static_cast<std::uint32_t>(value / 100000000);
        out = put_digits(out, decimal_word(high), decimal_length(high));
        return put_digits(out, decimal_word(static_cast<std::uint32_t>(value % 100000000)), 8);
    }
    return std::to_chars(out, out + 20, value).ptr;
}

char* put_hex(char* out, std::uint64_t value) {
    const auto high = static_cast<std::uint32_t>(value >> 32);
    const auto low = static_cast<std::uint32_t>(value);
    if (high == 0) return put_digits(out, hex_word(low), hex_length(low));
    out = put_digits(out, hex_word(high), hex_length(high));
    return put_digits(out, hex_word(low), 8);
}

#else

char* put_decimal(char* out, std::uint64_t value) {
    return std::to_chars(out, out + 20, value).ptr;
}
char* put_hex(char* out, std::uint64_t value) {
    return std::to_chars(out, out + 16, value, 16).ptr;
}

#endif

}  // namespace

std::size_t format_offset_line(std::uint64_t offset, char* out) {
    char* at = put_decimal(out, offset);
    std::memcpy(at, " (0x", 4);
    at = put_hex(at + 4, offset);
    std::memcpy(at, ")\n", 2);
    return static_cast<std::size_t>(at + 2 - out);
}

void report_writer::write_header_once() {
    if (header_written_) return;
    std::memcpy(buffer_ + used_, header, sizeof(header) - 1);
    used_ += sizeof(header) - 1;
    header_written_ = true;
}

bool report_writer::accept(const std::uint64_t* offsets, std::size_t count) {
    if (error_code_ != 0) return false;
    if (count > 0) write_header_once();
    for (std::size_t i = 0; i < count; ++i) {
        if (sizeof(buffer_) - used_ < max_offset_line && !write_buffer()) return false;
        used_ += format_offset_line(offsets[i], buffer_ + used_);
    }
    return true;
}

bool report_writer::accept_lines(const std::uint64_t* /*offsets*/, std::size_t count, const char* lines,
                                 std::size_t lines_length) {
    if (error_code_ != 0) return false;
    if (count == 0) return true;
    write_header_once();
    // Short runs of lines join the buffer; long ones go out as they are,
    // rather than be copied.
    if (lines_length < sizeof(buffer_) / 4 && sizeof(buffer_) - used_ >= lines_length) {
        std::memcpy(buffer_ + used_, lines, lines_length);
        used_ += lines_length;
        return true;
    }
    if (!write_buffer()) return false;
    if (std::fwrite(lines, 1, lines_length, out_) == lines_length) return true;
    return record_failure();
}

bool report_writer::flush() {
    if (!write_buffer()) return false;
    if (std::fflush(out_) == 0) return true;
    return record_failure();
}

bool report_writer::write_buffer() {
    if (error_code_ != 0) return false;
    const std::size_t size = used_;
    used_ = 0;
    if (size == 0 || std::fwrite(buffer_, 1, size, out_) == size) return true;
    return record_failure();
}

bool report_writer::record_failure() {
    error_code_ = errno != 0 ? errno : EIO;
    return false;
}

}  // namespace bytehunt
