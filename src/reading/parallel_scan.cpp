#include "reading/parallel_scan.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sched.h>
#endif

#include <algorithm>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#include "reading/chunk_board.hpp"
#include "reading/chunk_report.hpp"
#include "reading/mapped_view.hpp"

namespace bytehunt {

unsigned usable_cores() {
#if defined(_WIN32)
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 && process != 0) {
        unsigned count = 0;
        for (; process != 0; process &= process - 1) ++count;
        return count;
    }
#elif defined(CPU_COUNT)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

namespace {

// Passes offsets on and counts them.
class counting_sink final : public offset_sink {
public:
    explicit counting_sink(offset_sink& next) : next_(next) {}
    bool accept(const std::uint64_t* offsets, std::size_t count_now) override {
        count += count_now;
        return next_.accept(offsets, count_now);
    }
    bool flush() override { return next_.flush(); }
    std::uint64_t count = 0;

private:
    offset_sink& next_;
};

// The first bytes are searched by the reporting thread alone: how densely
// they hold occurrences sizes the chunks, and says whether threads pay.
constexpr std::uint64_t probe_size = std::uint64_t{256} << 10;
// A chunk should hold about this many bytes of lines and offsets: with the
// chunks the threads may claim ahead of the report, the lines in flight stay
// within about a MiB (each of their pages is faulted in once).
constexpr std::uint64_t held_per_chunk = chunk_limit / 8;
constexpr std::uint64_t largest_chunk = std::uint64_t{32} << 20;
// Bytes held for an occurrence, its line and its offset, for sizing chunks.
constexpr std::uint64_t held_estimate = 14 + sizeof(std::uint64_t);

// Searches `part` on a worker thread and hands what it finds to the board.
// Always returns a whole result: out of memory, the chunk ends after the
// offsets it handed over, and is marked starved for the report to search on.
file_scan_result search_chunk(const open_file& file, chunk& part, chunk_board& board, searcher& finder,
                              const read_settings& settings, range_tools& tools, part_batch& batch) {
    chunk_sink sink(board, part, finder.needle_length(), batch);
    try {
        return scan_file_range(file, part.range, finder, sink, settings, &tools);
    } catch (const std::bad_alloc&) {
        part.starved = true;
        return {scan_outcome::complete, sink.decided, {}};
    }
}

// `result` goes on with what a later search of the file did.
void continue_with(file_scan_result& result, const file_scan_result& later) {
    for (std::size_t way = 0; way < read_way_count; ++way) result.brought[way] += later.brought[way];
    result.outcome = later.outcome;
    result.next_offset = later.next_offset;
}

// The size of the chunks after the probe, which found `lines` bytes of lines
// in its `probe_end` bytes.
std::uint64_t chunk_size_for(std::uint64_t size, std::uint64_t probe_end, std::uint64_t lines, unsigned parts,
                             const read_settings& settings, bool dense) {
    // Chunks that hold about held_per_chunk bytes at the probe's density:
    // 8 KiB at the least (what one batch of a search holds, at an occurrence
    // every other byte), a few MiB at the most.
    const std::uint64_t smallest_chunk =
        std::min<std::uint64_t>(std::uint64_t{8} << 10, 4 * settings.stretch_size);
    std::uint64_t chunk_size = lines == 0 ? largest_chunk : held_per_chunk * probe_end / lines;
    chunk_size = std::max(smallest_chunk, std::min(largest_chunk, chunk_size));
    // A file that comes from the disk, with sparse output, is dealt out in
    // one share per thread, each read front to back with the system's own
    // read-ahead: chunks dealt out in turn made the disk jump between
    // places (1 GiB cold: 0.31 s against 0.52 s, medians of 11 runs), and
    // asking for each chunk ahead made it worse (0.47 s).
    if (settings.read_ahead > 0 && !dense) chunk_size = (size - probe_end) / parts + large_page;
    // Chunks start on multiples of 4 KiB, so that in data that repeats with
    // a period that divides it (a run of one byte, say) each chunk's search
    // is in step with the search before it; and of 2 MiB once they are that
    // large, so that their maps hold whole large pages.
    const std::uint64_t grain = chunk_size >= 2 * large_page ? large_page : 4096;
    if (chunk_size >= grain) chunk_size -= chunk_size % grain;
    return chunk_size;
}

// The threads that search the chunks. However the report ends, an exception
// included, they are stopped and waited for: a thread still running at the
// end would take the whole program down.
class thread_crew {
public:
    explicit thread_crew(chunk_board& board) : board_(board) {}
    ~thread_crew() { stop(); }
    thread_crew(const thread_crew&) = delete;
    thread_crew& operator=(const thread_crew&) = delete;

    // Starts `count` threads that claim chunks of `file` until none is left.
    void start(unsigned count, const open_file& file, const searcher& finder, const read_settings& settings,
               std::size_t buffer_size) {
        const auto work = [this, file, &finder, settings, buffer_size] {
            try {
                range_tools tools(file, settings.ways, buffer_size);
                searcher part_finder(finder.needle(), finder.needle_length());
                part_batch batch;
                while (chunk* part = board_.claim()) {
                    const file_scan_result found =
                        search_chunk(file, *part, board_, part_finder, settings, tools, batch);
                    const bool starved = part->starved;  // the report may take the chunk once finished
                    board_.finish(*part, found);
                    // Out of memory: this thread leaves, the others search on.
                    if (starved) break;
                }
            } catch (const std::bad_alloc&) {
                // No memory for this thread's tools, or for a chunk to claim:
                // the others search on.
            }
            board_.leave();
        };
        threads_.reserve(count);
        for (unsigned k = 0; k < count; ++k) {
            try {
                threads_.emplace_back(work);
            } catch (const std::exception&) {
                // No thread to be had (or no memory to start one): the ones
                // started, or none, search on.
                board_.leave();
            }
        }
    }
    void stop() {
        board_.stop();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    chunk_board& board_;
    std::vector<std::thread> threads_;
};

// This thread alone searches on from where `result` stands, up to `end`.
// Without memory for a stretch's buffer (asked for before any offset is
// handed on), false: reading on in smaller blocks searches the rest.
bool search_alone(const open_file& file, searcher& finder, offset_sink& sink, const read_settings& settings,
                  file_scan_result& result, std::uint64_t end) {
    try {
        continue_with(result, scan_file_range(file, {result.next_offset, end}, finder, sink, settings));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Reports the chunks in file order after `result`, the probe's. Returns
// whether one thread should search on alone from where the result stands.
bool report_chunks(const open_file& file, searcher& finder, offset_sink& sink, const read_settings& settings,
                   chunk_board& board, file_scan_result& result) {
    searcher mender(finder.needle(), finder.needle_length());
    chunk_reporter reporter(file, mender, sink, board);
    // Starts at or past this leave no room for a needle.
    const std::uint64_t room_end = file.size - finder.needle_length() + 1;
    for (;;) {
        chunk* const part = board.next();
        // No thread left (none could get memory, or none started), or no
        // chunk: the rest, if any, is searched here.
        if (part == nullptr) return result.next_offset < room_end;
        // A chunk that ended short (the file shrank, or a read failed) ends
        // the search in chunks: reading on from where it stopped finds out
        // which.
        if (result.next_offset < std::min(part->range.first, room_end)) return false;
        continue_with(result, reporter.report(*part, result.next_offset));
        const bool starved = part->starved;
        const std::uint64_t part_end = part->range.end;
        // A chunk reported only in part (its lines could not be written, or
        // the file shrank or failed to read in it) ends the search in chunks.
        if (!board.reported() || result.outcome != scan_outcome::complete) return false;
        // A chunk searched whole a second time: the data repeats with the
        // needle's period (a run of one byte, say), the chunks' searches
        // fall out of step with each other at every start, and one thread
        // searching on alone does the work once.
        if (!reporter.met()) return result.next_offset < room_end;
        // Its thread ran out of memory: the rest of the chunk is searched
        // here, and the other threads search on.
        if (starved && result.next_offset < std::min(part_end, room_end) &&
            !search_alone(file, finder, sink, settings, result, part_end))
            return false;
    }
}

}  // namespace

file_scan_result scan_in_parts(const open_file& file, searcher& finder, offset_sink& sink, unsigned parts,
                               const read_settings& settings, bool measured) {
    const std::uint64_t size = file.size;
    const bus_fault_handler handler;  // for every thread's maps
    advise_access(file.descriptor, settings.holes);
    // The probe: the first bytes, on this thread.
    const std::uint64_t probe_end = size / 4 < probe_size ? size / 4 : probe_size;
    counting_sink counted(sink);
    file_scan_result result = scan_file_range(file, {0, probe_end}, finder, counted, settings);
    const std::uint64_t lines = counted.count * held_estimate;
    // Sparse output pays for threads only on large files; dense output, whose
    // lines take most of the time, on far smaller ones.
    const bool dense = lines * 64 >= probe_end;
    if (measured && !dense && size < parallel_threshold) parts = 1;
    if (result.outcome != scan_outcome::complete || result.next_offset < probe_end) return result;
    bool alone = parts < 2;
    if (!alone) {
        const std::uint64_t chunk_size = chunk_size_for(size, probe_end, lines, parts, settings, dense);
        // Holes are dealt out as chunks of their own, decided at once, unless
        // the needle is of zeros only: then their lines are made on every core.
        file_extents holes(file.descriptor, size);
        // Each thread may claim a chunk while the report still has a wake's
        // worth to take: measured on 16 MiB of zeros and `0000`, one more than
        // that faulted 10% more pages for no time won.
        chunk_board board({probe_end, size}, chunk_size, parts + chunk_board::chunks_per_wake, parts,
                          finder.zeros_only() ? nullptr : &holes);
        // Chunks of less than a stretch are copied: a map of each would cost
        // more calls than the copy costs time. Threads leave read-ahead to the
        // system, but in a file with holes, where the system reads none ahead.
        const read_settings chunk_settings{
            chunk_size < settings.stretch_size ? way_bit(read_way::copy) : settings.ways,
            settings.stretch_size, settings.copy_size, settings.holes ? settings.read_ahead : 0,
            settings.holes};
        const std::size_t buffer_size = static_cast<std::size_t>(std::min<std::uint64_t>(
                                            {chunk_size, settings.stretch_size, settings.copy_size})) +
                                        finder.needle_length() - 1;
        thread_crew crew(board);
        crew.start(parts, file, finder, chunk_settings, buffer_size);
        alone = report_chunks(file, finder, sink, settings, board, result);
        crew.stop();
    }
    // This thread alone searches on from where the search stands.
    if (alone) search_alone(file, finder, sink, settings, result, size);
    return result;
}

}  // namespace bytehunt
