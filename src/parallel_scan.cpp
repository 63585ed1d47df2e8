#include "parallel_scan.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sched.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "check.hpp"
#include "report.hpp"

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

// A chunk's offsets and their report lines, one batch. Batches are reused
// once reported: fresh memory for each would fault its pages in anew.
struct part_batch {
    std::vector<std::uint64_t> offsets;
    std::unique_ptr<char[]> lines;  // not zeroed first: every byte used is written
    std::size_t lines_length = 0;
    std::size_t lines_capacity = 0;

    // Holds `offsets` and their lines, in the memory it has where it can.
    void fill(const std::uint64_t* from, std::size_t count) {
        offsets.assign(from, from + count);
        if (lines_capacity < count * max_offset_line) {
            lines.reset(new char[count * max_offset_line]);
            lines_capacity = count * max_offset_line;
        }
        lines_length = 0;
        for (std::size_t i = 0; i < count; ++i)
            lines_length += format_offset_line(from[i], lines.get() + lines_length);
    }
};

// Batches kept for reuse, at most: a few chunks' worth in flight.
constexpr std::size_t spare_batches_kept = 64;

// One chunk of the file, and what its thread found there.
struct chunk {
    file_range range;
    std::deque<part_batch> batches;
    std::size_t held = 0;  // bytes in the batches
    bool finished = false;
    file_scan_result result{};
};

// Bytes of lines a chunk may hold before its thread waits for the report to
// take them: with a few chunks ahead, memory stays bounded even when every
// byte is an occurrence.
constexpr std::size_t chunk_limit = std::size_t{1} << 20;

// The chunks handed out to the threads, in file order, until the report has
// taken them. A thread may run a few chunks ahead of the report, no more.
class chunk_board {
public:
    chunk_board(file_range rest, std::uint64_t chunk_size, unsigned ahead, unsigned threads)
        : next_(rest.first), end_(rest.end), chunk_size_(chunk_size), ahead_(ahead), threads_(threads) {}

    // A thread: the next chunk to search, or null when none is left.
    chunk* claim() {
        std::unique_lock<std::mutex> lock(mutex_);
        threads_wait_.wait(lock, [&] { return stop_ || next_ >= end_ || chunks_.size() < ahead_; });
        if (stop_ || next_ >= end_) return nullptr;
        // Chunks end on multiples of their size, so that their maps hold
        // whole large pages.
        const std::uint64_t boundary = (next_ / chunk_size_ + 1) * chunk_size_;
        const std::uint64_t last = boundary < end_ ? boundary : end_;
        chunks_.emplace_back();
        chunks_.back().range = {next_, last};
        next_ = last;
        if (chunks_.size() == 1) report_waits_.notify_one();
        return &chunks_.back();
    }
    // A thread: what it found in `part`; false once the scan has stopped.
    // `batch` comes back as one to reuse, if there is one.
    bool add(chunk& part, part_batch& batch) {
        const std::size_t weight = batch.lines_length + batch.offsets.size() * sizeof(std::uint64_t);
        std::unique_lock<std::mutex> lock(mutex_);
        threads_wait_.wait(lock, [&] { return stop_ || part.held < chunk_limit; });
        if (stop_) return false;
        part.held += weight;
        part.batches.push_back(std::move(batch));
        batch = part_batch{};
        if (!spare_.empty()) {
            batch = std::move(spare_.back());
            spare_.pop_back();
        }
        if (&part == &chunks_.front() && part.held >= chunk_limit / 2) report_waits_.notify_one();
        return true;
    }
    void finish(chunk& part, const file_scan_result& result) {
        const std::lock_guard<std::mutex> lock(mutex_);
        part.result = result;
        part.finished = true;
        if (&part == &chunks_.front()) report_waits_.notify_one();
    }
    // A thread that takes no more chunks.
    void leave() {
        const std::lock_guard<std::mutex> lock(mutex_);
        --threads_;
        report_waits_.notify_one();
    }
    bool stopped() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return stop_;
    }

    // The report: the next chunk, or null when none is left (or no thread is
    // left to search it).
    chunk* next() {
        std::unique_lock<std::mutex> lock(mutex_);
        report_waits_.wait(lock, [&] { return !chunks_.empty() || next_ >= end_ || threads_ == 0; });
        return chunks_.empty() ? nullptr : &chunks_.front();
    }
    // The report: the next batch of `part`, the front chunk; false once it
    // finished and all its batches were taken. It waits for half a limit's
    // worth, or the chunk's end, and then takes all there is, so that the
    // threads wake each other seldom.
    // `batch`, handed on, is kept for reuse.
    bool take(chunk& part, part_batch& batch) {
        if (batch.lines != nullptr) reported_.push_back(std::exchange(batch, part_batch{}));
        if (taken_.empty()) {
            std::unique_lock<std::mutex> lock(mutex_);
            report_waits_.wait(lock, [&] { return part.finished || part.held >= chunk_limit / 2; });
            taken_.swap(part.batches);
            part.held = 0;
            while (!reported_.empty() && spare_.size() < spare_batches_kept) {
                spare_.push_back(std::move(reported_.back()));
                reported_.pop_back();
            }
            reported_.clear();
            threads_wait_.notify_all();
        }
        if (taken_.empty()) return false;
        batch = std::move(taken_.front());
        taken_.pop_front();
        return true;
    }
    // The report is done with the front chunk.
    void reported() {
        taken_.clear();
        const std::lock_guard<std::mutex> lock(mutex_);
        chunks_.pop_front();
        threads_wait_.notify_all();
    }
    void stop() {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        threads_wait_.notify_all();
        report_waits_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable threads_wait_;  // for room in a chunk, or a chunk to claim
    std::condition_variable report_waits_;  // for the front chunk's lines
    std::deque<chunk> chunks_;              // claimed and not yet reported, in file order
    std::deque<part_batch> taken_;          // the report's: batches taken, not yet handed on
    std::vector<part_batch> reported_;      // the report's: batches handed on, to reuse
    std::vector<part_batch> spare_;         // batches to reuse
    std::uint64_t next_;                    // where the next chunk starts
    std::uint64_t end_;
    std::uint64_t chunk_size_;
    std::size_t ahead_;
    unsigned threads_;
    bool stop_ = false;
};

// What a thread finds in one chunk: formatted there, so that dense output is
// formatted on every core, and handed to the board.
class chunk_sink final : public offset_sink {
public:
    // `batch`: the thread's next batch to fill, kept from chunk to chunk.
    chunk_sink(chunk_board& board, chunk& part, std::size_t needle_length, part_batch& batch)
        : decided(part.range.first),
          board_(board),
          part_(part),
          needle_length_(needle_length),
          batch_(batch) {}

    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        batch_.fill(offsets, count);
        if (!board_.add(part_, batch_)) return false;
        decided = offsets[count - 1] + needle_length_;
        return true;
    }
    // Past the last occurrence handed to the board: every start before it
    // is decided.
    std::uint64_t decided;
    // Called after each stretch: a chunk no longer wanted stops there.
    bool flush() override { return !board_.stopped(); }

private:
    chunk_board& board_;
    chunk& part_;
    std::size_t needle_length_;
    part_batch& batch_;
};

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

// Collects offsets in memory: what the reporting thread finds itself.
class collecting_sink final : public offset_sink {
public:
    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        found.insert(found.end(), offsets, offsets + count);
        return true;
    }
    std::vector<std::uint64_t> found;
};

// Starts the reporting thread searches itself, a stretch at a time, while a
// chunk's own offsets do not line up with what is decided.
constexpr std::size_t mending_stretch = std::size_t{64} << 10;

// Reports one chunk. Its thread searched the chunk from its first start on;
// when an occurrence before it ran past that start (`decided` beyond it),
// the chunk's first offsets may overlap it, and the offsets that follow from
// `decided` can differ until both searches meet at a common occurrence.
// Until then this thread searches from `decided` itself; from there on the
// chunk's offsets are the right ones.
class chunk_reporter {
public:
    chunk_reporter(int descriptor, std::uint64_t size, searcher& mender, offset_sink& sink,
                   chunk_board& board)
        : descriptor_(descriptor), size_(size), mender_(mender), sink_(sink), board_(board) {}

    // Whether the last chunk's own search met the one from the start.
    bool met() const { return met_; }

    // Reports `part` from `decided`; returns the scan's result after it.
    file_scan_result report(chunk& part, std::uint64_t decided) {
        met_ = true;
        const file_range range = part.range;
        std::uint64_t pos = decided;
        part_batch batch;
        std::size_t next = 0;  // the chunk's first offset not yet compared or handed on
        bool more = board_.take(part, batch);
        // The chunk's next offset, taking batches as they come; false at its end.
        const auto peek = [&](std::uint64_t& offset) {
            while (more && next == batch.offsets.size()) {
                more = board_.take(part, batch);
                next = 0;
            }
            if (!more) return false;
            offset = batch.offsets[next];
            return true;
        };
        const std::size_t needle_length = mender_.needle_length();
        std::uint64_t covered = 0;  // the end of the last of the chunk's offsets passed over
        // Passes over the chunk's offsets below `limit`.
        const auto pass_below = [&](std::uint64_t limit) {
            std::uint64_t offset = 0;
            while (peek(offset) && offset < limit) {
                covered = offset + needle_length;
                ++next;
            }
        };
        // Whether the searches are in step at `pos`: when none of the chunk's
        // occurrences runs across it, the chunk's search found no start
        // between its last occurrence before `pos` and its next one, so a
        // search from `pos` finds that next one too. (A chunk with no
        // occurrence at all is in step anywhere.)
        const auto in_step = [&] {
            pass_below(pos);
            return covered <= pos;
        };
        bool met = decided <= range.first || in_step();
        // Starts at or past this leave no room for a needle.
        const std::uint64_t room_end = size_ - needle_length + 1;
        const std::uint64_t end = range.end < room_end ? range.end : room_end;
        while (!met && pos < end) {
            collecting_sink found;
            const std::uint64_t stretch_end = end - pos > mending_stretch ? pos + mending_stretch : end;
            const file_scan_result own = scan_file_range(descriptor_, size_, {pos, stretch_end}, mender_,
                                                         found, way_bit(read_way::copy), mending_stretch);
            std::size_t keep = found.found.size();
            for (std::size_t i = 0; i < found.found.size() && !met; ++i) {
                const std::uint64_t occurrence = found.found[i];
                std::uint64_t offset = 0;
                pass_below(occurrence);
                if (peek(offset) && offset == occurrence) {
                    // Both searches meet: the chunk's own offsets follow.
                    met = true;
                    keep = i;
                }
            }
            if (keep > 0 && !sink_.accept(found.found.data(), keep))
                return failed(pos, scan_outcome::write_failed);
            if (met) break;
            BYTEHUNT_CHECK(own.next_offset > pos);
            pos = own.next_offset;
            // Short of the stretch's end: the file shrank or failed to read.
            if (pos < stretch_end) return failed(pos, scan_outcome::complete);
            met = in_step();
        }
        met_ = met;
        if (!met) {
            // The chunk's own search never met this one: what it found is moot.
            for (std::uint64_t offset = 0; peek(offset);) ++next;
            return {scan_outcome::complete, pos, {}};
        }
        // Hand on the chunk's offsets: the rest of the batch at hand, then
        // whole batches with their lines as formatted.
        if (next > 0 && next < batch.offsets.size() &&
            !sink_.accept(batch.offsets.data() + next, batch.offsets.size() - next)) {
            return failed(pos, scan_outcome::write_failed);
        }
        for (bool whole = more && next == 0; whole || board_.take(part, batch); whole = false) {
            if (!sink_.accept_lines(batch.offsets.data(), batch.offsets.size(), batch.lines.get(),
                                    batch.lines_length) ||
                !sink_.flush()) {
                return failed(pos, scan_outcome::write_failed);
            }
        }
        if (!sink_.flush()) return failed(pos, scan_outcome::write_failed);
        // Written before the chunk finished, read after; this search may
        // have decided more (past a chunk that ended short, or whole).
        file_scan_result result = part.result;
        if (result.next_offset < pos) result.next_offset = pos;
        return result;
    }

private:
    // The chunk ends early: the sink failed, or the file shrank or failed to
    // read at `decided`, where reading on finds out which.
    static file_scan_result failed(std::uint64_t decided, scan_outcome outcome) {
        return {outcome, decided, {}};
    }

    int descriptor_;
    std::uint64_t size_;
    searcher& mender_;
    offset_sink& sink_;
    chunk_board& board_;
    bool met_ = true;
};

// The first bytes are searched by the reporting thread alone: how densely
// they hold occurrences sizes the chunks, and says whether threads pay.
constexpr std::uint64_t probe_size = std::uint64_t{256} << 10;
// A chunk should hold about this many bytes of lines and offsets, so that the
// threads format side by side within the chunks' limit.
constexpr std::uint64_t held_per_chunk = chunk_limit / 4;
constexpr std::uint64_t largest_chunk = std::uint64_t{32} << 20;
// Bytes held for an occurrence, its line and its offset, for sizing chunks.
constexpr std::uint64_t held_estimate = 14 + sizeof(std::uint64_t);

// Searches `part` on a worker thread and hands what it finds to the board.
// Always returns a whole result: out of memory, the chunk ends after the
// offsets it handed over, and reading on from there searches the rest.
file_scan_result search_chunk(int descriptor, std::uint64_t size, chunk& part, chunk_board& board,
                              searcher& finder, unsigned ways, std::size_t stretch_size, range_tools& tools,
                              part_batch& batch) {
    chunk_sink sink(board, part, finder.needle_length(), batch);
    try {
        return scan_file_range(descriptor, size, part.range, finder, sink, ways, stretch_size, &tools);
    } catch (const std::bad_alloc&) {
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

file_scan_result scan_in_parts(int descriptor, std::uint64_t size, searcher& finder, offset_sink& sink,
                               unsigned parts, unsigned ways, std::size_t stretch_size, bool measured) {
    const bus_fault_handler handler;  // for every thread's maps
#if defined(POSIX_FADV_SEQUENTIAL)
    (void)posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    const std::size_t needle_length = finder.needle_length();
    // The probe: the first bytes, on this thread.
    const std::uint64_t probe_end = size / 4 < probe_size ? size / 4 : probe_size;
    counting_sink counted(sink);
    file_scan_result result =
        scan_file_range(descriptor, size, {0, probe_end}, finder, counted, ways, stretch_size);
    const std::uint64_t lines = counted.count * held_estimate;
    // Sparse output pays for threads only on large files; dense output, whose
    // lines take most of the time, on far smaller ones.
    const bool dense = lines * 64 >= probe_end;
    if (measured && !dense && size < parallel_threshold) parts = 1;
    // This thread alone searches on from where the search stands.
    const auto search_rest_alone = [&] {
        continue_with(result, scan_file_range(descriptor, size, {result.next_offset, size}, finder, sink,
                                              ways, stretch_size));
    };
    if (result.outcome != scan_outcome::complete || result.next_offset < probe_end) return result;
    if (parts < 2) {
        search_rest_alone();
        return result;
    }
    // Chunks that hold about held_per_chunk bytes at the probe's density: a
    // few stretches' worth at the least, a few MiB at the most.
    const std::uint64_t smallest_chunk = std::min<std::uint64_t>(std::uint64_t{32} << 10, 4 * stretch_size);
    std::uint64_t chunk_size = lines == 0 ? largest_chunk : held_per_chunk * probe_end / lines;
    chunk_size = std::max(smallest_chunk, std::min(largest_chunk, chunk_size));
    if (chunk_size >= 2 * large_page) chunk_size = chunk_size / large_page * large_page;

    chunk_board board({probe_end, size}, chunk_size, parts + 1, parts);
    const std::size_t buffer_size =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, stretch_size)) + needle_length - 1;
    // Chunks of less than a stretch are copied: a map of each would cost more
    // calls than the copy costs time.
    const unsigned chunk_ways = chunk_size < stretch_size ? way_bit(read_way::copy) : ways;
    const auto work = [&, descriptor, size, chunk_ways, stretch_size] {
        try {
            range_tools tools(chunk_ways, buffer_size);
            searcher part_finder(finder.needle(), needle_length);
            part_batch batch;
            while (chunk* part = board.claim()) {
                board.finish(*part, search_chunk(descriptor, size, *part, board, part_finder, chunk_ways,
                                                 stretch_size, tools, batch));
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
    chunk_reporter reporter(descriptor, size, mender, sink, board);
    // Starts at or past this leave no room for a needle.
    const std::uint64_t room_end = size - needle_length + 1;
    bool alone = false;
    while (chunk* part = board.next()) {
        // A chunk that ended short (the file shrank, or a read failed) ends
        // the search in chunks: reading on from where it stopped finds out
        // which.
        if (result.next_offset < std::min(part->range.first, room_end)) break;
        continue_with(result, reporter.report(*part, result.next_offset));
        board.reported();
        if (result.outcome != scan_outcome::complete) break;
        // A chunk searched whole a second time: the data repeats with the
        // needle's period (a run of one byte, say), the chunks' searches
        // fall out of step with each other at every start, and one thread
        // searching on alone does the work once.
        if (!reporter.met()) {
            alone = true;
            break;
        }
    }
    board.stop();
    for (std::thread& thread : crew.threads) thread.join();
    crew.threads.clear();
    if (alone && result.next_offset < room_end) search_rest_alone();
    return result;
}

}  // namespace bytehunt
