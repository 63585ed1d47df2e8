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

// Writes the lines of rising offsets, each made from the line before where
// it can: offsets found close together share all but their last digits, so
// the line before is copied and its last four decimal and hex digits are
// replaced. Any offset may follow any other; one outside the last line's
// span is converted whole, and its line is the one copied from then on.
class line_formatter {
public:
    // Writes the lines of `count` offsets at `out`, one after the other, and
    // returns their end. It may store past the last line, never past
    // max_offset_line bytes from its start.
    char* put_lines(const std::uint64_t* offsets, std::size_t count, char* out);

private:
    char* put_anew(std::uint64_t offset, char* out);

    // The last line converted whole. Offsets from decimal_base_ on, fewer
    // than decimal_span_ past it, share all its decimal digits but the last
    // four (which start at decimal_at_); hex likewise. A span of 0 holds no
    // offset: below 10000, or 0x10000, the digits before the last four are
    // not the same for every offset.
    char line_[max_offset_line + 8] = {};
    std::size_t length_ = 0;
    std::uint64_t decimal_base_ = 0;
    std::uint64_t decimal_span_ = 0;
    std::uint64_t hex_base_ = 0;
    std::uint64_t hex_span_ = 0;
    std::size_t decimal_at_ = 0;
    std::size_t hex_at_ = 0;
};

class report_writer final : public offset_sink {
public:
    // `out` is taken before anything was written to it, and left unbuffered:
    // this writer buffers its lines itself, and the stream's own buffer would
    // split each of its large writes in two.
    // A pipe is widened, where the system allows.
    explicit report_writer(std::FILE* out);
    report_writer(const report_writer&) = delete;
    report_writer& operator=(const report_writer&) = delete;

    bool accept(const std::uint64_t* offsets, std::size_t count) override;
    bool accept_lines(const std::uint64_t* offsets, std::size_t count, const char* lines,
                      std::size_t lines_length) override;
    bool takes_lines() const override { return true; }
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
    line_formatter lines_;
    std::size_t used_ = 0;
    char buffer_[64 * 1024];
};

}  // namespace bytehunt
