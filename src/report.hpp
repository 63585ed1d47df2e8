// The report: a header line before the first offset, then one line per
// offset, "decimal (0xhex)". Lines are built in a large buffer and written in
// blocks, so a dense result costs little more than its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "stream_search.hpp"

namespace bytehunt {

// Longest offset line: 20 decimal digits, " (0x", 16 hex digits, ")\n".
constexpr std::size_t max_offset_line = 20 + 4 + 16 + 2;

// Writes the line for `offset` at `out` and returns its length. It may
// store past the line, never past max_offset_line bytes.
std::size_t format_offset_line(std::uint64_t offset, char* out);

class report_writer final : public offset_sink {
public:
    // `out` is taken before anything was written to it, and left unbuffered:
    // this writer buffers its lines itself, and the stream's own buffer would
    // split each of its large writes in two.
    explicit report_writer(std::FILE* out) : out_(out) { std::setvbuf(out, nullptr, _IONBF, 0); }
    report_writer(const report_writer&) = delete;
    report_writer& operator=(const report_writer&) = delete;

    bool accept(const std::uint64_t* offsets, std::size_t count) override;
    bool accept_lines(const std::uint64_t* offsets, std::size_t count, const char* lines,
                      std::size_t lines_length) override;
    // Writes out what is buffered, if anything; false if any write failed.
    bool flush() override;
    // errno of the write that failed, 0 if none did.
    int error_code() const { return error_code_; }

private:
    bool write_buffer();
    void write_header_once();
    bool record_failure();  // keeps errno; always false

    std::FILE* out_;
    bool header_written_ = false;
    int error_code_ = 0;
    std::size_t used_ = 0;
    char buffer_[64 * 1024];
};

}  // namespace bytehunt
