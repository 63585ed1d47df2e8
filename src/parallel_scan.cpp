#include "parallel_scan.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "check.hpp"
#include "report.hpp"
#endif

namespace bytehunt {

#if defined(_WIN32)

unsigned usable_cores() {
    return 1;
}

file_scan_result scan_in_parts(int /*descriptor*/, std::uint64_t /*size*/, searcher& /*finder*/,
                               offset_sink& /*sink*/, unsigned /*parts*/, unsigned /*ways*/,
                               std::size_t /*stretch_size*/) {
    return {scan_outcome::complete, 0, {}};
}

#else

unsigned usable_cores() {
#if defined(CPU_COUNT)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

namespace {

// A part's offsets and their report lines, one batch.
struct part_batch {
    std::vector<std::uint64_t> offsets;
    std::string lines;
};

// What a later part found, held until the parts before it are reported. Its
// thread formats the lines and waits while the queue holds this much, so that
// memory stays bounded even when every byte is an occurrence.
constexpr std::size_t queue_limit = std::size_t{1} << 20;

class part_queue final : public offset_sink {
public:
    explicit part_queue(const std::atomic<bool>& stop) : stop_(stop) {}

    // The part's thread.
    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        part_batch batch;
        batch.offsets.assign(offsets, offsets + count);
        batch.lines.resize(count * max_offset_line);
        std::size_t used = 0;
        for (std::size_t i = 0; i < count; ++i) used += format_offset_line(offsets[i], &batch.lines[used]);
        batch.lines.resize(used);
        const std::size_t weight = used + count * sizeof(std::uint64_t);
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return held_ < queue_limit || stop_; });
        if (stop_) return false;
        held_ += weight;
        batches_.push_back(std::move(batch));
        ready_.notify_one();
        return true;
    }
    // Called after each stretch: a part no longer wanted stops there.
    bool flush() override { return !stop_; }
    void finish(const file_scan_result& result) {
        const std::lock_guard<std::mutex> lock(mutex_);
        result_ = result;
        finished_ = true;
        ready_.notify_one();
    }

    // The reporting thread: the next batch, or false once the part has
    // finished and everything it found was taken.
    bool take(part_batch& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !batches_.empty() || finished_; });
        if (batches_.empty()) return false;
        batch = std::move(batches_.front());
        batches_.pop_front();
        held_ -= batch.lines.size() + batch.offsets.size() * sizeof(std::uint64_t);
        room_.notify_one();
        return true;
    }
    file_scan_result result() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return result_;
    }
    void wake() {
        const std::lock_guard<std::mutex> lock(mutex_);
        room_.notify_all();
    }

private:
    const std::atomic<bool>& stop_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<part_batch> batches_;
    std::size_t held_ = 0;
    bool finished_ = false;
    file_scan_result result_{};
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

// Output is dense when the first part held an occurrence per this many bytes
// or more.
constexpr std::uint64_t dense_spacing = 256;

// Starts the reporting thread searches itself, a stretch at a time, while a
// part's own offsets do not line up with what is decided.
constexpr std::size_t mending_stretch = std::size_t{64} << 10;

// Reports one later part. Its thread searched the part from its first start
// on; when an occurrence of the part before ran past that start (`decided`
// beyond it), the part's first offsets may overlap it, and the offsets that
// follow from `decided` can differ until both searches meet at a common
// occurrence. Until then this thread searches from `decided` itself; from
// there on the part's offsets are the right ones.
class part_reporter {
public:
    part_reporter(int descriptor, std::uint64_t size, searcher& mender, offset_sink& sink, part_queue& queue)
        : descriptor_(descriptor), size_(size), mender_(mender), sink_(sink), queue_(queue) {}

    // Reports the part [range.first, range.end) from `decided`; returns the
    // scan's result after it.
    file_scan_result report(file_range range, std::uint64_t decided) {
        std::uint64_t pos = decided;
        bool met = decided <= range.first;
        part_batch batch;
        std::size_t next = 0;  // the part's first offset not yet compared or handed on
        bool more = queue_.take(batch);
        // The part's next offset, taking batches as they come; false at its end.
        const auto peek = [&](std::uint64_t& offset) {
            while (more && next == batch.offsets.size()) {
                more = queue_.take(batch);
                next = 0;
            }
            if (!more) return false;
            offset = batch.offsets[next];
            return true;
        };
        // Starts at or past this leave no room for a needle.
        const std::uint64_t room_end = size_ - mender_.needle_length() + 1;
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
                while (peek(offset) && offset < occurrence) ++next;
                if (peek(offset) && offset == occurrence) {
                    // Both searches meet: the part's own offsets follow.
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
        }
        if (!met) {
            // The part's own search never met this one: what it found is moot.
            for (std::uint64_t offset = 0; peek(offset);) ++next;
            return {scan_outcome::complete, pos, {}};
        }
        // Hand on the part's offsets: the rest of the batch at hand, then
        // whole batches with their lines as formatted.
        if (next > 0 && next < batch.offsets.size() &&
            !sink_.accept(batch.offsets.data() + next, batch.offsets.size() - next)) {
            return failed(pos, scan_outcome::write_failed);
        }
        for (bool whole = more && next == 0; whole || queue_.take(batch); whole = false) {
            if (!sink_.accept_lines(batch.offsets.data(), batch.offsets.size(), batch.lines.data(),
                                    batch.lines.size()) ||
                !sink_.flush()) {
                return failed(pos, scan_outcome::write_failed);
            }
        }
        if (!sink_.flush()) return failed(pos, scan_outcome::write_failed);
        return queue_.result();
    }

private:
    // The part ends early: the sink failed, or the file shrank or failed to
    // read at `decided`, where reading on finds out which.
    static file_scan_result failed(std::uint64_t decided, scan_outcome outcome) {
        return {outcome, decided, {}};
    }

    int descriptor_;
    std::uint64_t size_;
    searcher& mender_;
    offset_sink& sink_;
    part_queue& queue_;
};

}  // namespace

file_scan_result scan_in_parts(int descriptor, std::uint64_t size, searcher& finder, offset_sink& sink,
                               unsigned parts, unsigned ways, std::size_t stretch_size) {
    const bus_fault_handler handler;  // for every thread's maps
#if defined(POSIX_FADV_SEQUENTIAL)
    (void)posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    // Parts too small to hold a few needles are not worth a thread.
    if (size / parts < std::uint64_t{4} * finder.needle_length()) parts = 1;
#if defined(__i386__)
    // The only 32-bit x86 machine we can test on (qemu-user) hangs when a
    // thread is started; unchecked, this build searches on one core.
    parts = 1;
#endif
    std::vector<std::uint64_t> bounds(parts + 1);
    for (unsigned k = 0; k <= parts; ++k) bounds[k] = size / parts * k;
    bounds[parts] = size;

    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<part_queue> > queues;
    std::vector<std::unique_ptr<searcher> > finders;
    std::vector<std::thread> threads;
    for (unsigned k = 1; k < parts; ++k) {
        queues.push_back(std::make_unique<part_queue>(stop));
        finders.push_back(std::make_unique<searcher>(finder.needle(), finder.needle_length()));
        part_queue& queue = *queues.back();
        searcher& part_finder = *finders.back();
        const file_range range{bounds[k], bounds[k + 1]};
        try {
            threads.emplace_back([=, &queue, &part_finder] {
                try {
                    queue.finish(
                        scan_file_range(descriptor, size, range, part_finder, queue, ways, stretch_size));
                } catch (const std::bad_alloc&) {
                    // Nothing decided: the parts end here, and reading on
                    // from here searches the rest.
                    queue.finish({scan_outcome::complete, range.first, {}});
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: nothing is decided yet, and one search
            // from the start does it all.
            stop = true;
            for (auto& started : queues) started->wake();
            for (std::thread& thread : threads) thread.join();
            return {scan_outcome::complete, 0, {}};
        }
    }

    counting_sink counted(sink);
    file_scan_result result =
        scan_file_range(descriptor, size, {0, bounds[1]}, finder, counted, ways, stretch_size);
    if (result.outcome == scan_outcome::complete && counted.count * dense_spacing > bounds[1]) {
        // Dense output: a later part could only run a queue's length ahead
        // of the one reported, and handing its lines over costs more than
        // that saves. This thread searches on alone.
        stop = true;
        for (auto& queue : queues) queue->wake();
        for (std::thread& thread : threads) thread.join();
        const file_scan_result rest =
            scan_file_range(descriptor, size, {result.next_offset, size}, finder, sink, ways, stretch_size);
        for (std::size_t way = 0; way < read_way_count; ++way) result.brought[way] += rest.brought[way];
        result.outcome = rest.outcome;
        result.next_offset = rest.next_offset;
        return result;
    }
    searcher mender(finder.needle(), finder.needle_length());
    // Starts at or past this leave no room for a needle.
    const std::uint64_t room_end = size - finder.needle_length() + 1;
    for (unsigned k = 1; k < parts; ++k) {
        // A part that ended short (the file shrank, or a read failed) ends
        // the parts: reading on from where it stopped finds out which.
        if (result.outcome != scan_outcome::complete || result.next_offset < std::min(bounds[k], room_end))
            break;
        part_reporter reporter(descriptor, size, mender, sink, *queues[k - 1]);
        const file_scan_result part = reporter.report({bounds[k], bounds[k + 1]}, result.next_offset);
        for (std::size_t way = 0; way < read_way_count; ++way) result.brought[way] += part.brought[way];
        result.outcome = part.outcome;
        result.next_offset = part.next_offset;
    }
    stop = true;
    for (auto& queue : queues) queue->wake();
    for (std::thread& thread : threads) thread.join();
    return result;
}

#endif

}  // namespace bytehunt
