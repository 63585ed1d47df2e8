// Where a regular file's data and holes lie. A hole reads as zeros and takes
// no storage: the search decides it without reading it, so that a sparse file
// (a core dump, a disk image) costs the time its data takes, and its holes
// never fill the page cache with zero pages.
#pragma once

#include <cstdint>
#include <vector>

namespace bytehunt {

// A run of the file that is all data or all hole, up to `end`.
struct extent {
    std::uint64_t end;
    bool hole;
};

// The system is asked for the next hole once, and for the next data only at a
// hole; what it said is kept, so a file without holes costs one question. Where
// the system cannot tell (no SEEK_HOLE, an error, Windows), everything counts
// as data: reading a hole is slow, never wrong.
class file_extents {
public:
    file_extents(int descriptor, std::uint64_t size) : descriptor_(descriptor), size_(size) {}

    // The extent that holds `offset` (below the size): where it ends, at most
    // at the size, and whether it is a hole. Offsets asked for rise, except
    // that two readers may share one (the search, and read-ahead before it).
    extent at(std::uint64_t offset);

private:
    struct known_extent {
        std::uint64_t begin;
        std::uint64_t end;
        bool hole;
    };
    void learn_from(std::uint64_t offset, bool hole, bool unsure);

    int descriptor_;
    std::uint64_t size_;
    std::vector<known_extent> known_;  // in file order, contiguous
};

// The first data at or after `offset`, or `size` if only holes follow.
std::uint64_t next_data(file_extents& extents, std::uint64_t offset, std::uint64_t size);

}  // namespace bytehunt
