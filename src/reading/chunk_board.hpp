// The hand-off between the threads that search a file's chunks: chunks are
// dealt out in file order, a few ahead of the report, and what each thread
// finds goes to its chunk in batches of offsets with their lines formatted,
// which the report takes in file order, on whichever thread finished the
// first chunk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "reading/chunk_size.hpp"
#include "reading/file_scan.hpp"
#include "reading/line_pool.hpp"
#include "report.hpp"

namespace bytehunt {

// Room for the lines of `count` rising offsets: none is longer than the
// last one's, and the formatter may store up to max_offset_line bytes from
// the last line's start.
inline std::size_t lines_needed(const std::uint64_t* offsets, std::size_t count) {
    if (count == 0) return 0;
    char line[max_offset_line];
    return (count - 1) * format_offset_line(offsets[count - 1], line) + max_offset_line;
}

// A chunk's offsets and their report lines, one batch. Batches are reused
// once reported: fresh memory for each would fault its pages in anew.
struct part_batch {
    // The first offsets, or all of them where the report's sink needs them
    // (see offset_sink::takes_lines); the rest can be read off the lines.
    std::vector<std::uint64_t> offsets;
    std::size_t count = 0;  // lines
    pooled_lines lines;     // not zeroed first: every byte used is written
    std::size_t lines_length = 0;
    std::size_t lines_capacity = 0;

    // Holds `kept` of the `count` offsets, which rise as a search finds
    // them, and all their lines, in the memory it has where it can.
    void fill(const std::uint64_t* from, std::size_t count_now, std::size_t kept, line_formatter& formatter,
              line_pool* pool) {
        count = count_now;
        offsets.assign(from, from + (kept < count ? kept : count));
        const std::size_t needed = lines_needed(from, count);
        if (lines_capacity < needed) {
            lines.reset();
            lines_capacity = 0;
            lines = lines_room(needed, pool);
            lines_capacity = lines.get_deleter().pool != nullptr ? pool->slot_size() : needed;
        }
        lines_length = static_cast<std::size_t>(formatter.put_lines(from, count, lines.get()) - lines.get());
    }
};

// Batches kept for reuse, at most, shared among the threads: a few chunks'
// worth in flight. Each batch goes back to the thread that filled it, whose
// cache still holds its lines: taken by whichever thread came first, the
// lines of `0000` over 16 MiB of zeros on two cores cost 34 ms of user time,
// against 28 ms (medians of 40; one core: 30.5 ms).
constexpr std::size_t spare_batches_kept = 64;

// The slots of the board's line pool: one holds a search's batch of 4,096
// lines of offsets below 10^13. On 16 and 64 MiB of zeros on two cores, 64
// slots made 340 page faults in all, 128 made 223 (one core makes 245) for
// 1.5 MiB more peak memory, and the heap alone made 1,650.
constexpr std::size_t line_slot_size = std::size_t{128} << 10;
constexpr std::size_t line_slots = 64;

// One chunk of the file, and what its thread found there.
struct chunk {
    file_range range;
    std::deque<part_batch> batches;
    std::size_t held = 0;        // bytes in the batches
    std::uint64_t held_all = 0;  // bytes of every batch it ever held
    bool finished = false;
    unsigned owner = 0;  // the thread that searches it: its batches go back to it
    // Its thread ran out of memory in it and left: the rest is the report's.
    bool starved = false;
    file_scan_result result{};
};

// Bytes of lines a chunk may hold: past it, the chunk ends after the batch
// that filled it, and its thread searches the rest as a chunk of its own.
// And the bytes all chunks but the first in file order may hold together,
// before their threads wait for the report: memory stays bounded even when
// every byte is an occurrence.
constexpr std::size_t chunk_limit = std::size_t{1} << 20;
constexpr std::size_t board_limit = 4 * chunk_limit;

// What became of a batch handed to the board.
enum class batch_taken {
    kept,     // search on
    full,     // the chunk holds chunk_limit: end it here
    stopped,  // the scan in chunks has stopped
};

// What a thread does once it finished a chunk.
struct after_finish {
    chunk* rest;  // the rest of a chunk that ended full: this thread's next
    bool report;  // this thread reports the chunks finished at the front
    bool leave;   // out of memory: the thread takes no more chunks
};

// The chunks handed out to the threads, in file order, until the report has
// taken them. There is no reporting thread: the thread that finishes the
// first chunk in file order reports it, and every chunk finished after it,
// and then searches on. Lines are written from the cache of the core that
// made them, and no thread sleeps but for room.
class chunk_board {
public:
    // With `holes`, a chunk that starts in a hole runs to the hole's end:
    // for a needle that no hole can hold, the thread decides it at once.
    chunk_board(file_range rest, chunk_sizer sizer, unsigned ahead, unsigned threads,
                file_extents* holes = nullptr)
        : pool_(line_slot_size, line_slots),
          spare_(threads),
          next_(rest.first),
          end_(rest.end),
          sizer_(sizer),
          ahead_(ahead),
          threads_(threads),
          holes_(holes) {
        // Reserved here, so that the report, on whatever thread, takes no
        // memory to hand batches back.
        for (std::vector<part_batch>& spare : spare_) spare.reserve(spare_batches_kept / threads);
        reported_.reserve(spare_batches_kept);
    }

    // Offsets each batch keeps beside its lines (see part_batch): set before
    // the threads start.
    void keep_offsets(std::size_t kept) { offsets_kept_ = kept; }
    std::size_t offsets_kept() const { return offsets_kept_; }
    // Where the threads' batches take memory for their lines.
    line_pool* pool() { return &pool_; }

    // Thread `owner` (below the board's threads): the next chunk to search,
    // or null when none is left.
    chunk* claim(unsigned owner) {
        std::unique_lock<std::mutex> lock(mutex_);
        threads_wait_.wait(lock, [&] { return stop_ || next_ >= end_ || chunks_.size() < ahead_; });
        if (stop_ || next_ >= end_) return nullptr;
        // Chunks end on multiples of their size, so that their maps hold
        // whole large pages.
        const std::uint64_t chunk_size = sizer_.size_for(end_ - next_, threads_);
        const std::uint64_t boundary = (next_ / chunk_size + 1) * chunk_size;
        std::uint64_t last = boundary < end_ ? boundary : end_;
        if (holes_ != nullptr) last = past_hole(last);
        chunks_.emplace_back();
        chunks_.back().range = {next_, last};
        chunks_.back().owner = owner;
        next_ = last;
        return &chunks_.back();
    }
    // A thread: what it found in `part`. `batch` comes back as one to reuse,
    // if there is one. A chunk behind the first waits while all of them hold
    // board_limit; the first never waits.
    batch_taken add(chunk& part, part_batch& batch) {
        const std::size_t weight = batch.lines_length + batch.offsets.size() * sizeof(std::uint64_t);
        std::unique_lock<std::mutex> lock(mutex_);
        threads_wait_.wait(lock, [&] { return stop_ || &part == &chunks_.front() || held_ < board_limit; });
        if (stop_) return batch_taken::stopped;
        part.batches.push_back(std::move(batch));
        part.held += weight;
        part.held_all += weight;
        held_ += weight;
        batch = part_batch{};
        std::vector<part_batch>& spare = spare_[part.owner];
        if (!spare.empty()) {
            batch = std::move(spare.back());
            spare.pop_back();
        }
        return part.held >= chunk_limit ? batch_taken::full : batch_taken::kept;
    }
    // A thread is done with `part`: searched to `result`'s next_offset,
    // which ends it where it ended `full`. The rest of a full chunk becomes
    // a chunk of the same thread, next in file order; without memory for
    // it, the chunk is starved instead, and the report searches its rest.
    after_finish finish(chunk& part, const file_scan_result& result, bool full) {
        const std::lock_guard<std::mutex> lock(mutex_);
        chunk* rest = nullptr;
        if (full && !stop_ && result.next_offset < part.range.end) {
            auto at = chunks_.begin();
            while (&*at != &part) ++at;
            try {
                rest = &*chunks_.emplace(std::next(at));
                rest->range = {result.next_offset, part.range.end};
                rest->owner = part.owner;
                part.range.end = result.next_offset;
            } catch (const std::bad_alloc&) {
                part.starved = true;
            }
        }
        const bool leave = part.starved;
        part.result = result;
        part.finished = true;
        sizer_.finished(part.range.end - part.range.first, part.held_all);
        const bool report = !reporting_ && !stop_ && chunks_.front().finished;
        reporting_ = reporting_ || report;
        return {rest, report, leave};
    }
    bool stopped() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return stop_;
    }

    // The report: the first chunk, once finished; else null, and whoever
    // finishes it reports next.
    chunk* next() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!stop_ && !chunks_.empty() && chunks_.front().finished) return &chunks_.front();
        reporting_ = false;
        return nullptr;
    }
    // The report: the next batch of `part`, the first chunk, finished; false
    // once all its batches were taken. `batch`, handed on, is kept for reuse.
    bool take(chunk& part, part_batch& batch) {
        if (batch.lines != nullptr && reported_.size() < reported_.capacity())
            reported_.push_back(std::exchange(batch, part_batch{}));
        if (taken_.empty()) {
            const std::lock_guard<std::mutex> lock(mutex_);
            taken_.swap(part.batches);
            held_ -= part.held;
            part.held = 0;
            std::vector<part_batch>& spare = spare_[part.owner];
            while (!reported_.empty() && spare.size() < spare.capacity()) {
                spare.push_back(std::move(reported_.back()));
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
    // The report is done with the first chunk.
    void reported() {
        const std::lock_guard<std::mutex> lock(mutex_);
        taken_.clear();
        held_ -= chunks_.front().held;
        chunks_.pop_front();
        threads_wait_.notify_all();
    }
    void stop() {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        threads_wait_.notify_all();
    }

private:
    // Where a chunk from next_ that would end at `last` ends instead: past
    // the hole it starts in, on a multiple of the chunk size (or at the end).
    std::uint64_t past_hole(std::uint64_t last) {
        const extent part = holes_->at(next_);
        if (!part.hole || part.end <= last) return last;
        if (part.end >= end_) return end_;
        const std::uint64_t boundary = part.end / sizer_.size() * sizer_.size();
        return boundary > last ? boundary : last;
    }

    line_pool pool_;  // first: every batch below gives its lines back to it
    std::mutex mutex_;
    std::condition_variable threads_wait_;        // for room, or a chunk to claim
    std::list<chunk> chunks_;                     // claimed and not yet reported, in file order
    std::deque<part_batch> taken_;                // the report's: batches taken, not yet handed on
    std::vector<part_batch> reported_;            // the report's: batches handed on, to reuse
    std::vector<std::vector<part_batch>> spare_;  // batches to reuse, each thread's own
    std::size_t held_ = 0;                        // bytes in all chunks' batches
    std::uint64_t next_;                          // where the next chunk starts
    std::uint64_t end_;
    chunk_sizer sizer_;
    std::size_t ahead_;
    unsigned threads_;
    file_extents* holes_;
    std::size_t offsets_kept_ = SIZE_MAX;
    bool reporting_ = false;  // a thread reports the finished chunks at the front
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
        batch_.fill(offsets, count, board_.offsets_kept(), formatter_, board_.pool());
        const batch_taken taken = board_.add(part_, batch_);
        if (taken == batch_taken::stopped) return false;
        decided = offsets[count - 1] + needle_length_;
        full = taken == batch_taken::full;
        return !full;
    }
    // Past the last occurrence handed to the board: every start before it
    // is decided.
    std::uint64_t decided;
    // The chunk ended full at `decided`.
    bool full = false;
    // Called after each stretch: a chunk no longer wanted stops there.
    bool flush() override { return !board_.stopped(); }

private:
    chunk_board& board_;
    chunk& part_;
    std::size_t needle_length_;
    part_batch& batch_;
    line_formatter formatter_;  // the chunk's lines, each batch's made from the one before
};

}  // namespace bytehunt
