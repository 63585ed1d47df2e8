// One memory map of a range of a file, and everything that touching it may
// cost: taking it when a stretch first asks for it, releasing its pages
// behind the search, and its faults. A file that shrinks under the map, or
// whose storage fails, raises SIGBUS on the page touched; the search of the
// map is guarded so that such a fault ends it, and the scan reads on from
// what was decided before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#if !defined(_WIN32)
#include <csetjmp>
#endif

#include "stream_search.hpp"

namespace bytehunt {

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

enum class guarded_outcome { searched, sink_failed, faulted };

// One map of a whole file, which the views of the ranges that many threads
// search borrow: a range costs no map and no unmap of its own, and large
// pages of the page cache can be mapped whole across the ranges'
// boundaries. Taken when a view first asks for it; unmapped when it goes.
class shared_file_map {
public:
    shared_file_map(int descriptor, std::uint64_t size, bool holes)
        : descriptor_(descriptor), size_(size), holes_(holes) {}
    ~shared_file_map();
    shared_file_map(const shared_file_map&) = delete;
    shared_file_map& operator=(const shared_file_map&) = delete;

    // The file's bytes from its start, or null where the map is refused.
    const std::uint8_t* take();

    // Every range before `front` is searched: the pages there that the
    // ranges' views left mapped go, a large page at a time. A view of a
    // small range leaves all its pages to this; a larger one releases what
    // it touched, but not the pages that the system mapped around those,
    // into a range that is copied. For one thread at a time.
    void release_before(std::uint64_t front);

private:
    int descriptor_;
    std::uint64_t size_;
    bool holes_;
    std::mutex mutex_;
    bool tried_ = false;
    const std::uint8_t* map_ = nullptr;
    std::uint64_t released_ = 0;  // the map's pages below this are released
};

class mapped_view {
public:
    // The file's bytes [first, end), of a file with `holes` or none;
    // nothing is mapped yet. With `shared`, the view borrows that map
    // where it can.
    mapped_view(int descriptor, std::uint64_t first, std::uint64_t end, bool holes,
                shared_file_map* shared = nullptr);
    ~mapped_view();
    mapped_view(const mapped_view&) = delete;
    mapped_view& operator=(const mapped_view&) = delete;

    // Maps the range if it is not yet mapped; false where that is refused.
    bool take();
    bool taken() const { return map_ != nullptr; }

    // Brings the pages of the bytes [first, end) in before the search.
    void populate(std::uint64_t first, std::uint64_t end);

    // search_block over the mapped bytes [begin, begin + length); a fault in
    // the map ends it, with what the sink accepted before it kept.
    guarded_outcome search(searcher& finder, std::uint64_t begin, std::size_t length, std::size_t& from,
                           offset_sink& sink);

    // After a stretch: the mapped bytes up to `touched_end` were touched (0
    // when the stretch was copied), and every start before `decided` is
    // decided. Pages wholly behind the search are released a few stretches
    // at a time, and all of them once copies take over.
    void release_behind(std::uint64_t decided, std::uint64_t touched_end);

private:
    int descriptor_;
    bool holes_;
    std::uint64_t base_;  // the map's first byte in the file, on a page boundary
    std::size_t length_;
    shared_file_map* shared_;
    const std::uint8_t* map_ = nullptr;
    bool borrowed_ = false;          // map_ lies in shared_'s map
    std::uint64_t released_;         // the map's pages below this are released
    std::uint64_t touched_end_ = 0;  // and none at or past this was touched
#if !defined(_WIN32)
    sigjmp_buf landing_;  // where a fault in the map jumps back to
#endif
};

}  // namespace bytehunt
