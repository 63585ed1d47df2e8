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

}  // namespace

file_scan_result scan_in_parts(const open_file& file, searcher& finder, offset_sink& sink, unsigned parts,
                               const read_settings& settings, bool measured) {
    const std::uint64_t size = file.size;
    const std::size_t stretch_size = settings.stretch_size;
    const bus_fault_handler handler;  // for every thread's maps
#if defined(POSIX_FADV_SEQUENTIAL)
    (void)posix_fadvise(file.descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    const std::size_t needle_length = finder.needle_length();
    // The probe: the first bytes, on this thread.
    const std::uint64_t probe_end = size / 4 < probe_size ? size / 4 : probe_size;
    counting_sink counted(sink);
    file_scan_result result = scan_file_range(file, {0, probe_end}, finder, counted, settings);
    const std::uint64_t lines = counted.count * held_estimate;
    // Sparse output pays for threads only on large files; dense output, whose
    // lines take most of the time, on far smaller ones.
    const bool dense = lines * 64 >= probe_end;
    if (measured && !dense && size < parallel_threshold) parts = 1;
    // This thread alone searches on from where the search stands, up to
    // `end`. Without memory for a stretch's buffer (asked for before any
    // offset is handed on) reading on in smaller blocks searches the rest.
    const auto search_rest_alone = [&](std::uint64_t end) {
        try {
            continue_with(result, scan_file_range(file, {result.next_offset, end}, finder, sink, settings));
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    };
    if (result.outcome != scan_outcome::complete || result.next_offset < probe_end) return result;
    if (parts < 2) {
        search_rest_alone(size);
        return result;
    }
    // Chunks that hold about held_per_chunk bytes at the probe's density:
    // 8 KiB at the least (what one batch of a search holds, at an occurrence
    // every other byte), a few MiB at the most.
    const std::uint64_t smallest_chunk = std::min<std::uint64_t>(std::uint64_t{8} << 10, 4 * stretch_size);
    std::uint64_t chunk_size = lines == 0 ? largest_chunk : held_per_chunk * probe_end / lines;
    chunk_size = std::max(smallest_chunk, std::min(largest_chunk, chunk_size));
    // A file that comes from the disk, with sparse output, is dealt out in
    // one share per thread, each read front to back with the system's own
    // read-ahead: chunks dealt out in turn made the disk jump between
    // places (1 GiB cold: 0.31 s against 0.52 s, medians of 11 runs), and
    // asking for each chunk ahead made it worse (0.47 s).
    const bool shares = settings.read_ahead > 0 && !dense;
    if (shares) chunk_size = (size - probe_end) / parts + large_page;
    // Chunks start on multiples of 4 KiB, so that in data that repeats with
    // a period that divides it (a run of one byte, say) each chunk's search
    // is in step with the search before it; and of 2 MiB once they are that
    // large, so that their maps hold whole large pages.
    const std::uint64_t grain = chunk_size >= 2 * large_page ? large_page : 4096;
    if (chunk_size >= grain) chunk_size -= chunk_size % grain;

    // Each thread may claim a chunk while the report still has a wake's
    // worth to take: measured on 16 MiB of zeros and `0000`, one more than
    // that faulted 10% more pages for no time won.
    chunk_board board({probe_end, size}, chunk_size, parts + chunk_board::chunks_per_wake, parts);
    const std::size_t buffer_size =
        static_cast<std::size_t>(std::min<std::uint64_t>({chunk_size, stretch_size, settings.copy_size})) +
        needle_length - 1;
    // Chunks of less than a stretch are copied: a map of each would cost more
    // calls than the copy costs time. Threads leave read-ahead to the system.
    const read_settings chunk_settings{chunk_size < stretch_size ? way_bit(read_way::copy) : settings.ways,
                                       stretch_size, settings.copy_size, 0};
    const auto work = [&, file, chunk_settings] {
        try {
            range_tools tools(chunk_settings.ways, buffer_size);
            searcher part_finder(finder.needle(), needle_length);
            part_batch batch;
            while (chunk* part = board.claim()) {
                const file_scan_result found =
                    search_chunk(file, *part, board, part_finder, chunk_settings, tools, batch);
                const bool starved = part->starved;  // the report may take the chunk once finished
                board.finish(*part, found);
                // Out of memory: this thread leaves, the others search on.
                if (starved) break;
            }
        } catch (const std::bad_alloc&) {
            // No memory for this thread's tools, or for a chunk to claim:
            // the others search on.
        }
        board.leave();
    };
    // Stops the threads and waits for them however this thread leaves,
    // an exception included: a thread still running at the end would take
    // the whole program down.
    struct thread_crew {
        chunk_board& board;
        std::vector<std::thread> threads;
        ~thread_crew() {
            board.stop();
            for (std::thread& thread : threads) thread.join();
        }
    } crew{board, {}};
    crew.threads.reserve(parts);
    for (unsigned k = 0; k < parts; ++k) {
        try {
            crew.threads.emplace_back(work);
        } catch (const std::exception&) {
            // No thread to be had (or no memory to start one): the ones
            // started, or none, search on.
            board.leave();
        }
    }

    searcher mender(finder.needle(), needle_length);
    chunk_reporter reporter(file, mender, sink, board);
    // Starts at or past this leave no room for a needle.
    const std::uint64_t room_end = size - needle_length + 1;
    bool alone = false;
    for (;;) {
        chunk* const part = board.next();
        // No thread left (none could get memory, or none started), or no
        // chunk: the rest, if any, is searched here.
        if (part == nullptr) {
            alone = true;
            break;
        }
        // A chunk that ended short (the file shrank, or a read failed) ends
        // the search in chunks: reading on from where it stopped finds out
        // which.
        if (result.next_offset < std::min(part->range.first, room_end)) break;
        continue_with(result, reporter.report(*part, result.next_offset));
        const bool starved = part->starved;
        const std::uint64_t part_end = part->range.end;
        // A chunk reported only in part (its lines could not be written, or
        // the file shrank or failed to read in it) ends the search in chunks.
        if (!board.reported() || result.outcome != scan_outcome::complete) break;
        // A chunk searched whole a second time: the data repeats with the
        // needle's period (a run of one byte, say), the chunks' searches
        // fall out of step with each other at every start, and one thread
        // searching on alone does the work once.
        if (!reporter.met()) {
            alone = true;
            break;
        }
        // Its thread ran out of memory: the rest of the chunk is searched
        // here, and the other threads search on.
        if (starved && result.next_offset < std::min(part_end, room_end) && !search_rest_alone(part_end))
            break;
    }
    board.stop();
    for (std::thread& thread : crew.threads) thread.join();
    crew.threads.clear();
    if (alone && result.next_offset < room_end) search_rest_alone(size);
    return result;
}

}  // namespace bytehunt
