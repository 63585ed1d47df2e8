// How a range of a regular file's bytes is brought in: read at its offset
// into a buffer, or mapped, with the faults of a map caught and turned into
// a jump back to the scan that touched it (the file shrank under the map, or
// its storage failed).
#pragma once

#include <cstddef>
#include <cstdint>

#if !defined(_WIN32)
#include <csetjmp>
#endif

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
const std::uint8_t* map_range(int descriptor, std::uint64_t offset, std::size_t length);
// Brings mapped pages in ahead of the search; beyond the file's end it is
// refused, and the search then faults.
void populate(const std::uint8_t* bytes, std::size_t length);
// Mapped pages not needed again.
void release(const std::uint8_t* bytes, std::size_t length);
void unmap(const std::uint8_t* bytes, std::size_t length);

// Asks for the file's bytes [offset, offset + length) to be read into the
// page cache, without waiting for them.
void read_soon(int descriptor, std::uint64_t offset, std::uint64_t length);

// Whether at most a few of the pages of the file's bytes [offset, offset +
// length) are in the page cache now: a file that must come from the disk.
// False where it cannot be told.
bool mostly_uncached(int descriptor, std::uint64_t offset, std::size_t length);

// Catches the faults of the maps that scans take while it lives; one may
// live in each thread that scans. Without one, scans only copy.
class bus_fault_handler {
public:
    bus_fault_handler();
    ~bus_fault_handler();
    bus_fault_handler(const bus_fault_handler&) = delete;
    bus_fault_handler& operator=(const bus_fault_handler&) = delete;
};

// Whether a handler stands ready for the faults of maps.
bool map_faults_caught();

#if !defined(_WIN32)
// While this thread searches the map [map, map + length), a fault in it
// jumps back to `landing`, set by sigsetjmp(landing, 0) in a frame that
// outlives the search; until unwatch_map.
void watch_map(sigjmp_buf* landing, const std::uint8_t* map, std::size_t length);
void unwatch_map();
// After the jump back: SIGBUS, blocked while its handler ran, is unblocked.
void resume_after_map_fault();
#endif

}  // namespace bytehunt
