// The hand-off between the threads that search a file's chunks and the one
// that reports them: chunks are dealt out in file order, a few ahead of the
// report, and what each thread finds goes to its chunk in batches of
// offsets with their lines formatted, which the report takes in file order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
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

// Batches kept for reuse, at most: a few chunks' worth in flight.
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
    // Its thread ran out of memory in it and left: the rest is the report's.
    // Atomic: the report reads it after a report that may have ended before
    // the chunk did.
    std::atomic<bool> starved{false};
    file_scan_result result{};
};

// Bytes of lines a chunk may hold before its thread waits for the report to
// take them; and all chunks but the one reported first, together: memory
// stays bounded even when every byte is an occurrence.
constexpr std::size_t chunk_limit = std::size_t{1} << 20;
constexpr std::size_t board_limit = 4 * chunk_limit;

// The chunks handed out to the threads, in file order, until the report has
// taken them. A thread may run a few chunks ahead of the report, no more.
class chunk_board {
public:
    // With `holes`, a chunk that starts in a hole runs to the hole's end:
    // for a needle that no hole can hold, the thread decides it at once.
    chunk_board(file_range rest, chunk_sizer sizer, unsigned ahead, unsigned threads,
                file_extents* holes = nullptr)
        : pool_(line_slot_size, line_slots),
          next_(rest.first),
          end_(rest.end),
          sizer_(sizer),
          ahead_(ahead),
          threads_(threads),
          holes_(holes) {}

    // Offsets each batch keeps beside its lines (see part_batch): set before
    // the threads start.
    void keep_offsets(std::size_t kept) { offsets_kept_ = kept; }
    std::size_t offsets_kept() const { return offsets_kept_; }
    // Where the threads' batches take memory for their lines.
    line_pool* pool() { return &pool_; }

    // A thread: the next chunk to search, or null when none is left.
    chunk* claim() {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto room = [&] { return stop_ || next_ >= end_ || chunks_.size() < ahead_; };
        if (!room()) wake_report(true);
        threads_wait_.wait(lock, room);
        if (stop_ || next_ >= end_) return nullptr;
        // Chunks end on multiples of their size, so that their maps hold
        // whole large pages.
        const std::uint64_t chunk_size = sizer_.size();
        const std::uint64_t boundary = (next_ / chunk_size + 1) * chunk_size;
        std::uint64_t last = boundary < end_ ? boundary : end_;
        if (holes_ != nullptr) last = past_hole(last);
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
        // The front chunk's thread never waits for the others' lines: the
        // report waits for its own.
        const auto room = [&] {
            return stop_ || (part.held < chunk_limit && (&part == &chunks_.front() || held_ < board_limit));
        };
        if (!room()) wake_report(true);
        threads_wait_.wait(lock, room);
        if (stop_) return false;
        part.held += weight;
        part.held_all += weight;
        held_ += weight;
        part.batches.push_back(std::move(batch));
        batch = part_batch{};
        if (!spare_.empty()) {
            batch = std::move(spare_.back());
            spare_.pop_back();
        }
        if (&part == &chunks_.front()) wake_report(false);
        return true;
    }
    void finish(chunk& part, const file_scan_result& result) {
        const std::lock_guard<std::mutex> lock(mutex_);
        part.result = result;
        part.finished = true;
        sizer_.finished(part.range.end - part.range.first, part.held_all);
        wake_report(false);
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
            held_ -= part.held;
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
    // The report is done with the front chunk: false, and the chunk kept,
    // while its thread still searches it (the report ended early), since
    // the thread writes to it until it is stopped.
    bool reported() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!chunks_.front().finished) return false;
        taken_.clear();
        held_ -= chunks_.front().held;
        chunks_.pop_front();
        threads_wait_.notify_all();
        return true;
    }
    void stop() {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        threads_wait_.notify_all();
        report_waits_.notify_all();
    }

    // Chunks finished at the front before the report is woken for them: a
    // thread woken costs about as much as a small chunk's report, so it
    // takes several at a time. On 16 MiB of zeros and `0000`, on 2 cores:
    // 1,300 context switches with one chunk a wake, 810 with 8.
    static constexpr std::size_t chunks_per_wake = 8;
    // Lines in the board that wake the report, with its front chunk
    // finished: early enough that the threads go on while it takes them.
    // Woken only once the board was full, on 16 MiB of zeros (64 MiB), the
    // threads waited for room 11 (147) times a run; woken at three quarters,
    // 2 (6) times, for as many wakes.
    static constexpr std::size_t report_due_held = board_limit / 4 * 3;
    // Times the report was woken for lines of finished chunks.
    std::size_t report_wakes() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return report_wakes_;
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

    // Wakes the report (under the lock) when its front chunk has lines to
    // take, and either a few chunks are finished at the front, or nothing
    // else will: a thread is about to wait for the report (`thread_waits`),
    // every chunk allowed ahead is claimed, or none is left to claim.
    void wake_report(bool thread_waits) {
        if (chunks_.empty()) return;
        const chunk& front = chunks_.front();
        if (!front.finished) {
            if (front.held >= chunk_limit / 2) report_waits_.notify_one();
            return;
        }
        bool due = thread_waits || next_ >= end_ || chunks_.size() >= ahead_ || held_ >= report_due_held;
        std::size_t ready = 0;
        for (auto part = chunks_.begin(); !due && part != chunks_.end() && part->finished; ++part)
            due = ++ready >= chunks_per_wake;
        if (due) {
            report_waits_.notify_one();
            ++report_wakes_;
        }
    }

    line_pool pool_;  // first: every batch below gives its lines back to it
    std::mutex mutex_;
    std::condition_variable threads_wait_;  // for room in a chunk, or a chunk to claim
    std::condition_variable report_waits_;  // for the front chunk's lines
    std::deque<chunk> chunks_;              // claimed and not yet reported, in file order
    std::deque<part_batch> taken_;          // the report's: batches taken, not yet handed on
    std::vector<part_batch> reported_;      // the report's: batches handed on, to reuse
    std::vector<part_batch> spare_;         // batches to reuse
    std::size_t held_ = 0;                  // bytes in all chunks' batches
    std::uint64_t next_;                    // where the next chunk starts
    std::uint64_t end_;
    chunk_sizer sizer_;
    std::size_t ahead_;
    unsigned threads_;
    file_extents* holes_;
    std::size_t offsets_kept_ = SIZE_MAX;
    std::size_t report_wakes_ = 0;
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
    line_formatter formatter_;  // the chunk's lines, each batch's made from the one before
};

}  // namespace bytehunt
