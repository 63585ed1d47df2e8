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
#include <numeric>
#include <optional>
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

// The first bytes are searched by the calling thread alone: how densely
// they hold occurrences sizes the chunks, and says whether threads pay.
constexpr std::uint64_t probe_size = std::uint64_t{256} << 10;
// Dense output shows in the first few KiB already: then the threads start
// after those, rather than after the whole probe. On 16 MiB of zeros on two
// cores, the probe's 256 KiB took 1.05 ms on this thread alone, a twentieth
// of the run.
constexpr std::uint64_t quick_probe_size = std::uint64_t{32} << 10;
// Bytes held for an occurrence, its line and its offset, for sizing chunks.
constexpr std::uint64_t held_estimate = 14 + sizeof(std::uint64_t);

// Offsets a batch keeps where the sink takes lines: enough for the report
// to line up a chunk whose first occurrences overlap the one before it.
// Keeping all of them cost 10% more time on 64 MiB of zeros on two cores
// (0.094 s against 0.085 s; 0.180 s of CPU against 0.155 s), in copies and
// in the hand-offs of batches a third larger.
constexpr std::size_t offsets_kept = 16;

// Chunks claimed and not yet reported, beyond one a thread. With no thread
// of its own to wait for, the report keeps up: `0000` over 16 MiB of zeros
// on two cores took 20.5 ms with 2, 21.5 with 8 (medians of 40).
constexpr unsigned chunks_ahead = 2;

// Searches `part` on a worker thread and hands what it finds to the board.
// Always returns a whole result: out of memory, the chunk ends after the
// offsets it handed over, and is marked starved for the report to search on.
// `full`: the chunk ended early, full, at the result's next_offset.
file_scan_result search_chunk(const open_file& file, chunk& part, chunk_board& board, searcher& finder,
                              const read_settings& settings, range_tools& tools, part_batch& batch,
                              bool& full) {
    chunk_sink sink(board, part, finder.needle_length(), batch);
    // Chunks of any size may be mapped: they borrow the map of the whole
    // file, and a small one costs no map of its own. (Small chunks were
    // copied while each took its own map: 256 MiB of CRLF text, a chunk of
    // 740 KiB for every 24,000 lines, took 41 ms on two cores, 32 of CPU in
    // the system's copies; mapped, 36 ms and 8.)
    try {
        file_scan_result found = scan_file_range(file, part.range, finder, sink, settings, &tools);
        full = sink.full;
        if (full) {
            found.outcome = scan_outcome::complete;
            found.next_offset = sink.decided;
        }
        return found;
    } catch (const std::bad_alloc&) {
        part.starved = true;
        return {scan_outcome::complete, sink.decided, {}};
    }
}

// Whether `lines` bytes of lines for `length` bytes of the file is dense
// output: lines that take longer to write than their bytes take to search.
bool dense_output(std::uint64_t lines, std::uint64_t length) {
    return lines * 64 >= length;
}

// The probe's first bytes, up to `end` (a multiple of `step`): up to a
// multiple of `step` near quick_probe_size, and `end` moved back there, where
// output is dense there already or the search ends early; else all of them.
file_scan_result first_probe(const open_file& file, searcher& finder, counting_sink& counted,
                             const read_settings& settings, std::uint64_t step, std::uint64_t& end) {
    std::uint64_t quick = quick_probe_size - quick_probe_size % step;
    quick = std::min(quick == 0 ? step : quick, end);
    file_scan_result result = scan_file_range(file, {0, quick}, finder, counted, settings);
    if (quick == end || dense_output(counted.count * held_estimate, quick) ||
        result.outcome != scan_outcome::complete || result.next_offset < quick) {
        end = quick;
        return result;
    }
    if (result.next_offset < end)
        continue_with(result, scan_file_range(file, {result.next_offset, end}, finder, counted, settings));
    return result;
}

// What the probe found: the file is searched up to `end` (and decided up to
// the result's next_offset), and its last `length` bytes held `lines` bytes
// of lines.
struct probe_result {
    file_scan_result result;
    std::uint64_t end;
    std::uint64_t length;
    std::uint64_t lines;
    bool dense;
};

// The probe: the first bytes, searched on this thread. How densely they hold
// occurrences sizes the chunks, and says whether threads pay. With
// `step_on` (a file too small for threads to pay on sparse output), this
// thread searches on in steps that double while output stays sparse, so
// that output that turns dense part way is still shared out.
probe_result run_probe(const open_file& file, searcher& finder, offset_sink& sink,
                       const read_settings& settings, bool step_on) {
    counting_sink counted(sink);
    std::uint64_t first = 0;
    std::uint64_t end = file.size / 4 < probe_size ? file.size / 4 : probe_size;
    // On a multiple of the needle's repeat step, as the chunks after it, so
    // that data repeating the needle from the start is searched in step.
    const std::uint64_t step = std::lcm(std::uint64_t{4096}, std::uint64_t{finder.repeat_step()});
    // The least common multiple of two positive numbers is positive.
    end =
        end >= step ? end - end % step : std::min(step, file.size);  // NOLINT(clang-analyzer-core.DivideZero)
    const file_scan_result first_result = first_probe(file, finder, counted, settings, step, end);
    probe_result probe{first_result, end, end, 0, false};
    // The steps keep their way of reading, their buffer and what they know
    // of the file's holes from one to the next, as chunks do.
    std::optional<range_tools> tools;
    for (;;) {
        probe.end = end;
        probe.length = end - first;
        probe.lines = counted.count * held_estimate;
        probe.dense = dense_output(probe.lines, probe.length);
        const file_scan_result& result = probe.result;
        if (probe.dense || !step_on || end >= file.size || result.outcome != scan_outcome::complete ||
            result.next_offset < end)
            return probe;
        first = end;
        end = file.size - end > end ? 2 * end : file.size;
        counted.count = 0;
        if (!tools)
            tools.emplace(file, settings.ways,
                          std::min(settings.stretch_size, settings.copy_size) + finder.needle_length() - 1);
        if (result.next_offset < end)
            continue_with(probe.result, scan_file_range(file, {result.next_offset, end}, finder, counted,
                                                        settings, &*tools));
    }
}

// The sizes of the chunks after the probe. `dense_holes`: the needle lies
// at every needle length of the file's holes.
chunk_sizer chunk_sizes_for(std::uint64_t size, const probe_result& probe, unsigned parts,
                            const read_settings& settings, std::uint64_t step, bool dense_holes) {
    // 8 KiB at the least: what one batch of a search holds, at an occurrence
    // every other byte.
    const std::uint64_t smallest_chunk =
        std::min<std::uint64_t>(std::uint64_t{8} << 10, 4 * settings.stretch_size);
    if (one_share_each(settings.read_ahead > 0, probe.dense, dense_holes))
        return chunk_sizer((size - probe.end) / parts + large_page, smallest_chunk, false, step);
    return chunk_sizer(chunk_size_for_density(probe.length, probe.lines, smallest_chunk, step),
                       smallest_chunk, true, step);
}

// The threads that search the chunks. However the scan ends, an exception
// included, they are stopped and waited for: a thread still running at the
// end would take the whole program down.
class thread_crew {
public:
    explicit thread_crew(chunk_board& board) : board_(board) {}
    ~thread_crew() {
        board_.stop();
        wait();
    }
    thread_crew(const thread_crew&) = delete;
    thread_crew& operator=(const thread_crew&) = delete;

    // Starts `count` threads that claim chunks of `file` until none is left,
    // and report them in file order.
    void start(unsigned count, const open_file& file, const searcher& finder, const read_settings& settings,
               std::size_t buffer_size, chunk_report_run& run, shared_file_map& whole_file) {
        const auto work = [this, file, &finder, settings, buffer_size, &run, &whole_file](unsigned owner) {
            try {
                range_tools tools(file, settings.ways, buffer_size, &whole_file);
                searcher part_finder(finder.needle(), finder.needle_length());
                part_batch batch;
                for (chunk* part = board_.claim(owner); part != nullptr;) {
                    bool full = false;
                    const file_scan_result found =
                        search_chunk(file, *part, board_, part_finder, settings, tools, batch, full);
                    const after_finish next = board_.finish(*part, found, full);
                    if (next.report) run.report_front();
                    // Out of memory: this thread leaves, the others search on.
                    if (next.leave) break;
                    part = next.rest != nullptr ? next.rest : board_.claim(owner);
                }
            } catch (const std::bad_alloc&) {
                // No memory for this thread's tools, or for a chunk to claim:
                // the others search on.
            }
        };
        threads_.reserve(count);
        for (unsigned k = 0; k < count; ++k) {
            try {
                threads_.emplace_back(work, k);
            } catch (const std::exception&) {
                // No thread to be had (or no memory to start one): the ones
                // started, or none, search on.
            }
        }
    }
    // Waits for the threads to run out of chunks (or to be stopped).
    void wait() {
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    chunk_board& board_;
    std::vector<std::thread> threads_;
};

}  // namespace

file_scan_result scan_in_parts(const open_file& file, searcher& finder, offset_sink& sink, unsigned parts,
                               const read_settings& settings, bool measured) {
    const std::uint64_t size = file.size;
    const bus_fault_handler handler;  // for every thread's maps
    advise_access(file.descriptor, settings.holes);
    // Sparse output pays for threads only on large files; dense output, whose
    // lines take most of the time, on far smaller ones.
    const bool small = measured && size < parallel_threshold;
    const probe_result probe = run_probe(file, finder, sink, settings, small);
    file_scan_result result = probe.result;
    if (result.outcome != scan_outcome::complete || result.next_offset < probe.end) return result;
    if (small && !probe.dense) parts = 1;
    bool alone = parts < 2 || probe.end >= size;
    if (!alone) {
        // Holes are dealt out as chunks of their own, decided at once, unless
        // the needle is of zeros only: then their lines are made on every core.
        file_extents holes(file.descriptor, size);
        // Each thread may claim a few chunks beyond its own while the first
        // one is still searched.
        chunk_board board({probe.end, size},
                          chunk_sizes_for(size, probe, parts, settings, finder.repeat_step(),
                                          settings.holes && finder.zeros_only()),
                          parts + chunks_ahead, parts, finder.zeros_only() ? nullptr : &holes);
        // Threads leave read-ahead to the system, but in a file with holes,
        // where the system reads none ahead.
        const read_settings chunk_settings{settings.ways, settings.stretch_size, settings.copy_size,
                                           settings.holes ? settings.read_ahead : 0, settings.holes};
        const std::size_t buffer_size =
            std::min(settings.stretch_size, settings.copy_size) + finder.needle_length() - 1;
        // A sink that takes the lines alone needs no offset but the few that
        // line the chunks up, and the report reads any other off the lines.
        if (sink.takes_lines()) board.keep_offsets(offsets_kept);
        chunk_report_run run(file, finder, sink, settings, board, result);
        // The chunks' maps are borrowed from one map of the file: a map and
        // an unmap of each chunk's own cost a system call each, and the
        // unmap stopped the other cores to flush their address caches.
        shared_file_map whole_file(file.descriptor, size, settings.holes);
        run.release_behind_report(&whole_file);
        thread_crew crew(board);
        crew.start(parts, file, finder, chunk_settings, buffer_size, run, whole_file);
        crew.wait();
        alone = run.alone();
        result = run.result;
    }
    // This thread alone searches on from where the search stands.
    if (alone) search_alone(file, finder, sink, settings, result, size);
    return result;
}

}  // namespace bytehunt
