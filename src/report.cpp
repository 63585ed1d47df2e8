#include "report.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace bytehunt {
namespace {

constexpr char header[] = "Found at offset\n";

}  // namespace

std::size_t format_offset_line(std::uint64_t offset, char* out) {
    char* const end = out + max_offset_line;
    char* at = std::to_chars(out, end, offset).ptr;
    std::memcpy(at, " (0x", 4);
    at = std::to_chars(at + 4, end, offset, 16).ptr;
    std::memcpy(at, ")\n", 2);
    return static_cast<std::size_t>(at + 2 - out);
}

bool report_writer::accept(const std::uint64_t* offsets, std::size_t count) {
    if (error_code_ != 0) return false;
    if (!header_written_ && count > 0) {
        std::memcpy(buffer_ + used_, header, sizeof(header) - 1);
        used_ += sizeof(header) - 1;
        header_written_ = true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (sizeof(buffer_) - used_ < max_offset_line && !write_buffer()) return false;
        used_ += format_offset_line(offsets[i], buffer_ + used_);
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
