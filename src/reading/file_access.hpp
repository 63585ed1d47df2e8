// The system calls that bring a regular file's bytes in: read at their
// offset into a buffer, or mapped (the map's life and faults are
// mapped_view's), and what the page cache holds of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bytehunt {

// The size of a memory page.
std::size_t page_size();

// The size of a large page of the page cache: maps and chunks keep to its
// boundaries in the file, so that such pages are mapped and dropped whole.
constexpr std::size_t large_page = std::size_t{2} << 20;

// Reads up to `length` bytes at `offset` and returns how many it got: fewer
// if the file ends first or a read fails (reading on tells which). Each read
// names its offset, so threads may read one file side by side.
std::size_t read_up_to(int descriptor, std::uint8_t* into, std::size_t length, std::uint64_t offset);

// A map of the file's bytes [offset, offset + length), read front to back,
// or null where the system refuses one (and always on Windows).
// With `holes`, the system reads nothing ahead for the map's faults: it
// would read the holes' zeros into the page cache.
const std::uint8_t* map_range(int descriptor, std::uint64_t offset, std::size_t length, bool holes);
// Brings mapped pages in ahead of the search; beyond the file's end it is
// refused, and the search then faults.
void populate(const std::uint8_t* bytes, std::size_t length);
// Mapped pages not needed again.
void release(const std::uint8_t* bytes, std::size_t length);
void unmap(const std::uint8_t* bytes, std::size_t length);

// Tells the system how the file is read: front to back, with its own
// read-ahead; or, for a file with holes, where the scan says (read_soon), so
// that no read-ahead runs from the data into a hole.
void advise_access(int descriptor, bool holes);

// Asks for the file's bytes [offset, offset + length) to be read into the
// page cache, without waiting for them.
void read_soon(int descriptor, std::uint64_t offset, std::uint64_t length);

// Whether at most a few of the pages of the file's bytes [offset, offset +
// length) are in the page cache now: a file that must come from the disk.
// False where it cannot be told.
bool mostly_uncached(int descriptor, std::uint64_t offset, std::size_t length);

}  // namespace bytehunt
