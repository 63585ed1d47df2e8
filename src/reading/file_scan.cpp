#include "reading/file_scan.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>

#include <csetjmp>
#endif

#include <chrono>
#include <memory>

#include "block_buffer.hpp"
#include "check.hpp"
#include "input.hpp"

namespace bytehunt {

namespace {

// Mapped pages are released behind the search this many bytes at a time:
// few calls, and few pages held.
constexpr std::uint64_t release_size = std::uint64_t{2} << 20;

// Passes offsets on and remembers how far the search is decided. Offsets
// found in mapped memory are passed on only while the file still holds the
// whole occurrence: past a shrinking file's new end, the map shows zeros.
class checked_sink final : public offset_sink {
public:
    checked_sink(offset_sink& next, int descriptor, std::size_t needle_length)
        : next_(next), descriptor_(descriptor), needle_length_(needle_length) {}

    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        std::size_t kept = count;
        if (mapped) {
            const std::uint64_t reach = file_size(descriptor_);
            while (kept > 0 && offsets[kept - 1] + needle_length_ > reach) --kept;
        }
        if (kept > 0) {
            if (!next_.accept(offsets, kept)) return false;
            decided = offsets[kept - 1] + needle_length_;
        }
        if (kept == count) return true;
        shrunk = true;
        return false;
    }
    bool flush() override { return next_.flush(); }

    // Whether the offsets come from mapped memory.
    bool mapped = false;
    // Set when the file no longer held an occurrence found in the map.
    bool shrunk = false;
    // Volatile: read after a jump out of the signal handler.
    volatile std::uint64_t decided = 0;

private:
    offset_sink& next_;
    int descriptor_;
    std::size_t needle_length_;
};

std::uint64_t now_ns() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

file_scan_result scan_regular_file(std::FILE* stream, searcher& finder, offset_sink& sink,
                                   const read_settings& settings) {
    const int descriptor = fileno(stream);
    const std::uint64_t size = file_size(descriptor);
    if (finder.needle_length() == 0 || size == 0) return {scan_outcome::complete, 0, {}};
#if defined(POSIX_FADV_SEQUENTIAL)
    (void)posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    const bus_fault_handler handler;
    return scan_file_range({descriptor, size}, {0, size}, finder, sink, settings);
}

file_scan_result scan_file_range(const open_file& file, file_range range, searcher& finder, offset_sink& sink,
                                 const read_settings& settings, range_tools* given_tools) {
    const int descriptor = file.descriptor;
    const std::uint64_t size = file.size;
    const std::size_t stretch_size = settings.stretch_size;
    unsigned ways = settings.ways;
    // A copy that a jump back from a fault cannot clobber.
    range_tools* volatile const tools = given_tools;
    const std::size_t needle_length = finder.needle_length();
    if (needle_length == 0 || range.first >= range.end || size - range.first < needle_length) {
        return {scan_outcome::complete, range.first, {}};
    }
    const std::size_t page = page_size();
    // The bytes the range needs: its starts and the needle's length after
    // the last one, within the file.
    const std::uint64_t bytes_limit =
        size - range.end >= needle_length - 1 ? range.end + needle_length - 1 : size;
    // 32-bit builds only copy: a large file does not fit their address
    // space, and the only 32-bit machines we can test on (qemu-user) map
    // offsets of 4 GiB and more to the wrong bytes. Maps are taken only
    // while a handler stands ready for their faults.
    if (sizeof(void*) < 8 || !map_faults_caught()) ways = way_bit(read_way::copy);
#if !defined(MADV_POPULATE_READ)
    ways &= ~way_bit(read_way::populated_map);
#endif
    const std::uint64_t map_base = range.first / page * page;
    // Volatile: read after a jump out of the signal handler.
    volatile const auto map_length = static_cast<std::size_t>(bytes_limit - map_base);
    // The map is taken when a stretch first asks for it: a range that is
    // only copied costs no map, no release and no unmap. Volatile: set in
    // the search, read after a jump out of the signal handler.
    const std::uint8_t* volatile map = nullptr;
    // The map goes back however the scan ends, an exception (out of memory
    // in the sink) included, and no fault is taken for it afterwards.
    struct map_lease {
        const std::uint8_t* const volatile& map;
        std::size_t length;
        ~map_lease() {
            if (map == nullptr) return;
#if !defined(_WIN32)
            unwatch_map();
#endif
            unmap(map, length);
        }
    } const lease{map, map_length};
    // A scan of many ranges in turn keeps its choice of way and its buffer;
    // where the map is refused, this range is copied.
    read_way_chooser own_chooser(ways);
    read_way_chooser* volatile chooser =
        tools != nullptr && (ways & ~way_bit(read_way::copy)) != 0 ? &tools->chooser : &own_chooser;
    // No larger than the range: a small file needs no large buffer.
    const std::uint64_t span = range.end - range.first;
    const std::size_t copy_size = settings.copy_size < stretch_size ? settings.copy_size : stretch_size;
    const std::size_t buffer_size =
        static_cast<std::size_t>(span < copy_size ? span : copy_size) + needle_length - 1;
    std::unique_ptr<block_buffer> own_buffer;
    if (tools == nullptr || tools->buffer.size() < buffer_size)
        own_buffer = std::make_unique<block_buffer>(buffer_size);
    // Volatile, so that a jump back from a fault cannot clobber it.
    std::uint8_t* volatile const copy_into =
        own_buffer != nullptr ? own_buffer->data() : tools->buffer.data();
    checked_sink checked(sink, descriptor, needle_length);
    checked.decided = range.first;
    // Volatile: read after a jump out of the signal handler.
    volatile std::uint64_t brought[read_way_count] = {};
    volatile bool write_failed = false;
    // Volatile, as everything a jump out of the signal handler may meet.
    volatile std::uint64_t released = map_base;  // the map's pages below this are released
    volatile std::uint64_t mapped_end = 0;       // and none at or past this was touched

#if !defined(_WIN32)
    // Where a fault in the map jumps back to.
    sigjmp_buf landing;
#endif
    // The file's bytes are asked for up to here (with read_ahead set).
    volatile std::uint64_t asked_until = range.first;
    // Each stretch decides the starts in [begin, begin + its size) and
    // needs the needle_length - 1 bytes after them.
    const auto search_stretches = [&] {
        while (checked.decided < range.end && size - checked.decided >= needle_length) {
            const std::uint64_t begin = checked.decided;
            if (settings.read_ahead > 0 && asked_until < bytes_limit &&
                asked_until - begin < settings.read_ahead / 2) {
                // Asked for in large steps, half the distance at a time.
                const std::uint64_t until =
                    bytes_limit - begin > settings.read_ahead ? begin + settings.read_ahead : bytes_limit;
                read_soon(descriptor, asked_until, until - asked_until);
                asked_until = until;
            }
            if (chooser->next() != read_way::copy && map == nullptr) {
                map = map_range(descriptor, map_base, map_length);
#if !defined(_WIN32)
                if (map != nullptr) watch_map(&landing, map, map_length);
#endif
                if (map == nullptr) {
                    own_chooser = read_way_chooser(way_bit(read_way::copy));
                    chooser = &own_chooser;
                }
            }
            const read_way way = chooser->next();
            // A way merely tried brings in as little as a copy does: trying
            // a way that costs four times as much stays cheap.
            const std::size_t starts = way == read_way::copy || chooser->trying() ? copy_size : stretch_size;
            const std::uint64_t starts_end = range.end - begin > starts ? begin + starts : range.end;
            const std::uint64_t bytes_end =
                bytes_limit - starts_end > needle_length - 1 ? starts_end + needle_length - 1 : bytes_limit;
            auto length = static_cast<std::size_t>(bytes_end - begin);
            const std::uint64_t started = now_ns();
            const std::uint8_t* data = nullptr;
            bool cut_short = false;
            if (way == read_way::copy) {
                // What was read is searched, and the rest left to read().
                const std::size_t got = read_up_to(descriptor, copy_into, length, begin);
                cut_short = got < length;
                length = got;
                data = copy_into;
            } else {
                data = map + (begin - map_base);
                if (way == read_way::populated_map) {
                    const std::uint64_t first_page = begin / page * page;
                    populate(map + (first_page - map_base), static_cast<std::size_t>(bytes_end - first_page));
                }
            }
            checked.mapped = way != read_way::copy;
            std::size_t from = 0;
            if (!search_block(finder, data, length, begin, from, checked)) {
                write_failed = !checked.shrunk;
                return;
            }
            brought[static_cast<int>(way)] += length;
            if (begin + from > checked.decided) checked.decided = begin + from;
            if (cut_short) {
                chooser->record(length, now_ns() - started);
                return;
            }
            BYTEHUNT_CHECK(checked.decided > begin);
            // When the copy ends (its time, for the chooser).
            const std::uint64_t copied_at = way == read_way::copy ? now_ns() : 0;
            // Mapped pages wholly behind the search are not needed again:
            // they are released a few stretches at a time, and all of them
            // once the copy takes over. Only what the maps touched is
            // released.
            if (way != read_way::copy) mapped_end = bytes_end;
            // Released up to a large page's boundary in the file, so that a
            // large page mapped whole is dropped whole rather than split.
            // Volatile, as every local a jump out of the signal handler may
            // meet (compilers for 32-bit ARM warn of it otherwise).
            volatile const std::uint64_t behind = checked.decided / large_page * large_page;
            if (mapped_end > released && behind > released &&
                (behind - released >= release_size || way == read_way::copy)) {
                const std::uint64_t touched_end = (mapped_end + large_page - 1) / large_page * large_page;
                const std::uint64_t until = touched_end < behind ? touched_end : behind;
                release(map + (released - map_base), static_cast<std::size_t>(until - released));
                released = behind;
            }
            // The search's cost is the same either way, and a map's pages
            // come in as the search reaches them and cost again when they are
            // dropped: a mapped stretch is timed whole, its release included.
            // A copied stretch is timed without the release of the pages the
            // maps before it left behind: that cost is theirs, not the copy's.
            chooser->record(length, (way == read_way::copy ? copied_at : now_ns()) - started);
        }
    };
#if defined(_WIN32)
    search_stretches();
#else
    // The signal mask is not saved (a system call for every range): after a
    // fault, SIGBUS, blocked while its handler ran, is unblocked below.
    if (sigsetjmp(landing, 0) == 0) {
        search_stretches();
    } else {
        // After a fault in the map: the file shrank under it, or its storage
        // failed; reading on from what is decided finds out which.
        resume_after_map_fault();
    }
#endif
    file_scan_result result{
        write_failed ? scan_outcome::write_failed : scan_outcome::complete, checked.decided, {}};
    for (std::size_t way = 0; way < read_way_count; ++way) result.brought[way] = brought[way];
    return result;
}

}  // namespace bytehunt
