// Where the bytes come from: the file that the user named, read in large
// blocks until it ends, whatever its size was when it was opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace bytehunt {

struct read_result {
    std::size_t count;  // bytes read; 0 with `failed` false means the input ended
    bool failed;
};

// The seam between the scan and the outside world; tests put sources here
// that end early, fail, or hand out bytes a few at a time.
class byte_source {
public:
    virtual ~byte_source() = default;
    virtual read_result read(std::uint8_t* into, std::size_t capacity) = 0;
};

// Reads an open stream. Pipes, character devices and files that change size
// while they are read all work: the stream is read until it reports its end.
class stream_source final : public byte_source {
public:
    explicit stream_source(std::FILE* stream);
    read_result read(std::uint8_t* into, std::size_t capacity) override;
    // Moves to input offset `offset` for the next read: false if the stream
    // cannot get there. Offset 0 asks nothing of the stream, so it suits
    // pipes too.
    bool seek(std::uint64_t offset);

private:
    std::FILE* stream_;
};

// Opens the file at `path` (UTF-8) for binary reading, or returns null. A
// directory counts as a file that cannot be opened. The file never takes the
// descriptor of a standard stream that was closed at start: what is meant
// for that stream must fail, not reach the input.
std::FILE* open_input(const char* path);

// The size that the regular file or block device (a disk, a partition, a
// loop device) open as `descriptor` has now, or 0 for anything else (pipes,
// character devices) and where it cannot be told. Inputs with a size are
// searched in stretches, at their offsets.
std::uint64_t file_size(int descriptor);

// Where a file lives: its device (volume) and its number there. Two file
// systems may give the same number to different files.
struct file_identity {
    std::uint64_t device;
    std::uint64_t index;
};
bool same_file(const file_identity& a, const file_identity& b);

// Whether standard output is the very regular file open as `stream`: a
// search of it would find its own report and write more, without end; or
// the very block device, whose bytes the report would overwrite.
bool input_is_output(std::FILE* stream);

}  // namespace bytehunt
