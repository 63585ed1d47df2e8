#include "reading/extents.hpp"

#if !defined(_WIN32)
#include <unistd.h>

#include <cerrno>
#endif

namespace bytehunt {

namespace {

// Extents kept: read-ahead runs a little ahead of the search, and both look
// up the same few.
constexpr std::size_t most_known = 16;
// An offset this far past what is known is asked for where it is, not
// reached extent by extent.
constexpr std::uint64_t far_ahead = std::uint64_t{64} << 20;

constexpr std::int64_t cannot_tell = -1;
constexpr std::int64_t no_more_data = -2;

// lseek(SEEK_HOLE or SEEK_DATA) from `offset`, or cannot_tell. The
// descriptor's position moves; every read of the scan names its offset.
std::int64_t seek_extent(int descriptor, std::uint64_t offset, bool hole) {
#if defined(SEEK_HOLE) && defined(SEEK_DATA)
    const off_t found = lseek(descriptor, static_cast<off_t>(offset), hole ? SEEK_HOLE : SEEK_DATA);
    if (found >= 0) return static_cast<std::int64_t>(found);
    if (!hole && errno == ENXIO) return no_more_data;
#else
    (void)descriptor;
    (void)offset;
    (void)hole;
#endif
    return cannot_tell;
}

}  // namespace

// The extent that starts at `offset`, where a hole or data is known to start
// (`hole` says which) or, with `unsure`, wherever the search stands.
void file_extents::learn_from(std::uint64_t offset, bool hole, bool unsure) {
    if (unsure) {
        const std::int64_t next_hole = seek_extent(descriptor_, offset, true);
        hole = next_hole == static_cast<std::int64_t>(offset);
        if (!hole) {
            // Data up to the hole; all of it data where the system cannot tell.
            const auto end = next_hole < 0 ? size_ : static_cast<std::uint64_t>(next_hole);
            known_.push_back({offset, end < size_ ? end : size_, false});
            return;
        }
    }
    const std::int64_t end = seek_extent(descriptor_, offset, !hole);
    if (end == cannot_tell || (end >= 0 && static_cast<std::uint64_t>(end) <= offset)) {
        known_.push_back({offset, size_, false});  // read as data: slow, never wrong
        return;
    }
    const auto last = end == no_more_data ? size_ : static_cast<std::uint64_t>(end);
    known_.push_back({offset, last < size_ ? last : size_, hole});
}

extent file_extents::at(std::uint64_t offset) {
    if (offset >= size_) return {size_, false};
    for (;;) {
        for (const known_extent& part : known_) {
            if (offset >= part.begin && offset < part.end) return {part.end, part.hole};
        }
        const bool follows = !known_.empty() && offset >= known_.back().end && known_.back().end < size_ &&
                             offset - known_.back().end < far_ahead;
        if (follows) {
            const known_extent last = known_.back();
            learn_from(last.end, !last.hole, false);
        } else {
            known_.clear();
            learn_from(offset, false, true);
        }
        if (known_.size() > most_known) known_.erase(known_.begin());
    }
}

std::uint64_t next_data(file_extents& extents, std::uint64_t offset, std::uint64_t size) {
    while (offset < size) {
        const extent part = extents.at(offset);
        if (!part.hole) return offset;
        offset = part.end;
    }
    return size;
}

}  // namespace bytehunt
