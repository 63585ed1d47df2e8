#include "report.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace bytehunt {
namespace {

constexpr char header[] = "Found at offset\n";
constexpr char hex_digits[] = "0123456789abcdef";

}  // namespace

std::size_t format_offset_line(std::uint64_t offset, char* out) {
    char* const end = out + max_offset_line;
    char* at = std::to_chars(out, end, offset).ptr;
    std::memcpy(at, " (0x", 4);
    at = std::to_chars(at + 4, end, offset, 16).ptr;
    std::memcpy(at, ")\n", 2);
    return static_cast<std::size_t>(at + 2 - out);
}

void offset_line_writer::rebuild(std::uint64_t offset) {
    length_ = format_offset_line(offset, line_);
    decimal_count_ = static_cast<std::size_t>(std::find(line_, line_ + length_, ' ') - line_);
    hex_count_ = length_ - decimal_count_ - 6;  // " (0x" and ")\n"
}

std::size_t offset_line_writer::write(std::uint64_t offset, char* out) {
    // The previous line goes out first, then its changed digits are set in
    // both copies. Reading the template before this call's byte stores to it,
    // not after, keeps the copy from stalling on them.
    std::memcpy(out, line_, room);
    const bool fresh = decimal_count_ == 0 || offset < previous_;
    std::uint64_t carry = fresh ? 0 : offset - previous_;
    // Decimal: add the gap to the digits, right to left, with carry. A carry
    // out of the first digit means one digit more.
    for (std::size_t i = decimal_count_; carry != 0 && i > 0; carry /= 10) {
        --i;
        carry += static_cast<std::uint64_t>(line_[i] - '0');
        out[i] = line_[i] = static_cast<char>('0' + carry % 10);
    }
    const bool hex_grows = hex_count_ < 16 && (offset >> (4 * hex_count_)) != 0;
    if (fresh || carry != 0 || hex_grows) {
        rebuild(offset);
        std::memcpy(out, line_, room);
    } else if (offset != previous_) {
        // Hex: rewrite the digits up to the highest one that changed.
        const std::size_t last = decimal_count_ + 4 + hex_count_ - 1;
        const auto highest = static_cast<std::size_t>(63 - __builtin_clzll(offset ^ previous_)) / 4;
        for (std::size_t k = 0; k <= highest; ++k)
            out[last - k] = line_[last - k] = hex_digits[(offset >> (4 * k)) & 0xf];
    }
    previous_ = offset;
    return length_;
}

bool report_writer::accept(const std::uint64_t* offsets, std::size_t count) {
    if (error_code_ != 0) return false;
    if (!header_written_ && count > 0) {
        std::memcpy(buffer_ + used_, header, sizeof(header) - 1);
        used_ += sizeof(header) - 1;
        header_written_ = true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (sizeof(buffer_) - used_ < offset_line_writer::room && !write_buffer()) return false;
        used_ += lines_.write(offsets[i], buffer_ + used_);
    }
    return true;
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
