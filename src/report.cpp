#include "report.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#endif

namespace bytehunt {
namespace {

constexpr char header[] = "Found at offset\n";

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

// "00" to "ff".
struct hex_pairs_table {
    char text[512];
    constexpr hex_pairs_table() : text{} {
        constexpr char digits[] = "0123456789abcdef";
        for (std::size_t i = 0; i < 256; ++i) {
            text[2 * i] = digits[i / 16];
            text[2 * i + 1] = digits[i % 16];
        }
    }
};
constexpr hex_pairs_table hex_pairs;

// Lines made from the line before replace its last four digits: offsets
// below these have fewer, or leading digits that differ from one offset to
// the next.
constexpr std::uint64_t decimal_low_span = 10000;
constexpr std::uint64_t hex_low_span = 0x10000;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__

// Digits are assembled eight at a time in a 64-bit register, the first digit
// in the lowest byte, and stored with one write: no byte is stored and then
// read back, which would stall the CPU.

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

char* line_formatter::put_anew(std::uint64_t offset, char* out) {
    char* at = put_decimal(line_, offset);
    decimal_at_ = static_cast<std::size_t>(at - line_) - 4;
    std::memcpy(at, " (0x", 4);
    at = put_hex(at + 4, offset);
    hex_at_ = static_cast<std::size_t>(at - line_) - 4;
    std::memcpy(at, ")\n", 2);
    length_ = static_cast<std::size_t>(at + 2 - line_);
    decimal_base_ = offset - offset % decimal_low_span;
    decimal_span_ = offset >= decimal_low_span ? decimal_low_span : 0;
    hex_base_ = offset & ~(hex_low_span - 1);
    hex_span_ = offset >= hex_low_span ? hex_low_span : 0;
    std::memcpy(out, line_, max_offset_line);
    return out + length_;
}

char* line_formatter::put_lines(const std::uint64_t* offsets, std::size_t count, char* out) {
    for (std::size_t i = 0;; out = put_anew(offsets[i++], out)) {
        // The line's parts in locals: stores to `out` could reach the
        // members, which would then be read again for every line.
        char line[max_offset_line];
        std::memcpy(line, line_, max_offset_line);
        const std::uint64_t decimal_base = decimal_base_, decimal_span = decimal_span_;
        const std::uint64_t hex_base = hex_base_, hex_span = hex_span_;
        const std::size_t decimal_at = decimal_at_, hex_at = hex_at_, length = length_;
        for (; i < count; ++i) {
            const std::uint64_t decimal_low = offsets[i] - decimal_base;
            const std::uint64_t hex_low = offsets[i] - hex_base;
            if (decimal_low >= decimal_span || hex_low >= hex_span) break;
            // Lines up to 32 bytes long (offsets below 10^14) take two
            // stores of 16 bytes, or one of 32, rather than three.
            if (length <= 32)
                std::memcpy(out, line, 32);
            else
                std::memcpy(out, line, max_offset_line);
            // decimal_low / 100, exact below 43699.
            const auto hundreds = static_cast<std::uint32_t>(decimal_low * 5243 >> 19);
            const auto units = static_cast<std::uint32_t>(decimal_low) - hundreds * 100;
            std::memcpy(out + decimal_at, decimal_pairs.text + std::size_t{2} * hundreds, 2);
            std::memcpy(out + decimal_at + 2, decimal_pairs.text + std::size_t{2} * units, 2);
            std::memcpy(out + hex_at, hex_pairs.text + 2 * (hex_low >> 8), 2);
            std::memcpy(out + hex_at + 2, hex_pairs.text + 2 * (hex_low & 0xff), 2);
            out += length;
        }
        if (i == count) return out;
    }
}

report_writer::report_writer(std::FILE* out) : out_(out) {
    std::setvbuf(out, nullptr, _IONBF, 0);
#if defined(F_SETPIPE_SZ) && defined(F_GETPIPE_SZ)
    // Dense output into a pipe: a pipe of 64 KiB held less than one batch
    // of lines, and every write waited for the reader several times.
    // Refused for what is not a pipe, or above the system's limit; a pipe
    // already as large is left as it is.
    constexpr int wide_pipe = 1 << 20;
    const int descriptor = fileno(out);
    const int capacity = fcntl(descriptor, F_GETPIPE_SZ);
    if (capacity > 0 && capacity < wide_pipe) (void)fcntl(descriptor, F_SETPIPE_SZ, wide_pipe);
#endif
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
    for (std::size_t done = 0; done < count;) {
        if (sizeof(buffer_) - used_ < max_offset_line && !write_buffer()) return false;
        // As many lines as surely fit, the longest.
        std::size_t now = (sizeof(buffer_) - used_) / max_offset_line;
        if (now > count - done) now = count - done;
        used_ = static_cast<std::size_t>(lines_.put_lines(offsets + done, now, buffer_ + used_) - buffer_);
        done += now;
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
