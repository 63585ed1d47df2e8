#include "reading/chunk_report.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "check.hpp"

namespace bytehunt {

// Walks a chunk's offsets, taking its batches from the board as they come.
class chunk_cursor {
public:
    chunk_cursor(chunk_board& board, chunk& part, std::size_t needle_length)
        : board_(board), part_(part), needle_length_(needle_length), more_(board.take(part, batch)) {}

    // The chunk's next offset; false at its end.
    bool peek(std::uint64_t& offset) {
        while (more_ && next == batch.count) {
            more_ = board_.take(part_, batch);
            next = 0;
            line_ = 0;
        }
        if (!more_) return false;
        offset = next < batch.offsets.size() ? batch.offsets[next] : offset_of_line();
        return true;
    }
    // Past the offset peek() gave.
    void advance() {
        const char* const lines = batch.lines.get();
        line_ = static_cast<std::size_t>(
            static_cast<const char*>(std::memchr(lines + line_, '\n', batch.lines_length - line_)) + 1 -
            lines);
        ++next;
    }
    // Passes over the chunk's offsets below `limit`.
    void pass_below(std::uint64_t limit) {
        std::uint64_t offset = 0;
        while (peek(offset) && offset < limit) {
            covered_ = offset + needle_length_;
            advance();
        }
    }
    // Up to `room` offsets of the batch at hand, from the next on, into
    // `rest`; how many.
    std::size_t rest_of_batch(std::uint64_t* rest, std::size_t room) {
        std::size_t count = 0;
        for (std::uint64_t offset = 0; count < room && next < batch.count && peek(offset); advance())
            rest[count++] = offset;
        return count;
    }
    // Whether the searches are in step at `pos`: when none of the chunk's
    // occurrences runs across it, the chunk's search found no start between
    // its last occurrence before `pos` and its next one, so a search from
    // `pos` finds that next one too. (A chunk with no occurrence at all is
    // in step anywhere.)
    bool in_step(std::uint64_t pos) {
        pass_below(pos);
        return covered_ <= pos;
    }
    // Whether the batch at hand is whole, none of it passed over.
    bool whole_batch() const { return more_ && next == 0; }
    bool take_batch() { return board_.take(part_, batch); }

    part_batch batch;
    std::size_t next = 0;  // the chunk's first offset not yet compared or handed on

private:
    // The offset the batch kept no copy of: the decimal that starts its line.
    std::uint64_t offset_of_line() const {
        std::uint64_t offset = 0;
        for (const char* at = batch.lines.get() + line_; *at != ' '; ++at)
            offset = offset * 10 + static_cast<std::uint64_t>(*at - '0');
        return offset;
    }

    chunk_board& board_;
    chunk& part_;
    std::size_t needle_length_;
    std::size_t line_ = 0;  // where the line of the next offset starts in the batch's lines
    bool more_;
    std::uint64_t covered_ = 0;  // the end of the last of the chunk's offsets passed over
};

// Searches from `pos` on this thread, a stretch at a time, until the
// chunk's own offsets line up with what it finds (`met`), and hands on what
// it found before that.
file_scan_result chunk_reporter::mend(chunk_cursor& cursor, std::uint64_t pos, std::uint64_t end, bool& met) {
    while (!met && pos < end) {
        found_.found.clear();
        const std::uint64_t stretch_end = end - pos > mending_stretch ? pos + mending_stretch : end;
        const file_scan_result own = scan_file_range(file_, {pos, stretch_end}, mender_, found_,
                                                     {way_bit(read_way::copy), mending_stretch}, &tools_);
        std::size_t keep = found_.found.size();
        for (std::size_t i = 0; i < found_.found.size() && !met; ++i) {
            const std::uint64_t occurrence = found_.found[i];
            std::uint64_t offset = 0;
            cursor.pass_below(occurrence);
            if (cursor.peek(offset) && offset == occurrence) {
                // Both searches meet: the chunk's own offsets follow.
                met = true;
                keep = i;
            }
        }
        if (keep > 0 && !sink_.accept(found_.found.data(), keep))
            return failed(pos, scan_outcome::write_failed);
        if (met) break;
        BYTEHUNT_CHECK(own.next_offset > pos);
        pos = own.next_offset;
        // Short of the stretch's end: the file shrank or failed to read.
        if (pos < stretch_end) return failed(pos, scan_outcome::complete);
        met = cursor.in_step(pos);
    }
    return {scan_outcome::complete, pos, {}};
}

file_scan_result chunk_reporter::report(chunk& part, std::uint64_t decided) {
    chunk_cursor cursor(board_, part, mender_.needle_length());
    bool met = decided <= part.range.first || cursor.in_step(decided);
    // Starts at or past this leave no room for a needle.
    const std::uint64_t room_end = file_.size - mender_.needle_length() + 1;
    const std::uint64_t end = part.range.end < room_end ? part.range.end : room_end;
    const file_scan_result mended = mend(cursor, decided, end, met);
    const std::uint64_t pos = mended.next_offset;
    met_ = true;
    // The sink failed, or the file shrank or failed to read at `pos`.
    if (mended.outcome != scan_outcome::complete || (!met && pos < end)) return mended;
    met_ = met;
    if (!met) {
        // The chunk's own search never met this one: what it found is moot.
        for (std::uint64_t offset = 0; cursor.peek(offset);) cursor.advance();
        return mended;
    }
    // Hand on the chunk's offsets: the rest of the batch at hand, then
    // whole batches with their lines as formatted.
    part_batch& batch = cursor.batch;
    // In pieces from the stack: the report may run on a thread whose memory
    // ran out.
    std::uint64_t rest[256];
    if (cursor.next > 0) {
        for (std::size_t count = 0; (count = cursor.rest_of_batch(rest, std::size(rest))) > 0;)
            if (!sink_.accept(rest, count)) return failed(pos, scan_outcome::write_failed);
    }
    for (bool whole = cursor.whole_batch(); whole || cursor.take_batch(); whole = false) {
        if (!sink_.accept_lines(batch.offsets.data(), batch.count, batch.lines.get(), batch.lines_length) ||
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

void continue_with(file_scan_result& result, const file_scan_result& later) {
    for (std::size_t way = 0; way < read_way_count; ++way) result.brought[way] += later.brought[way];
    result.outcome = later.outcome;
    result.next_offset = later.next_offset;
}

bool search_alone(const open_file& file, searcher& finder, offset_sink& sink, const read_settings& settings,
                  file_scan_result& result, std::uint64_t end) {
    try {
        continue_with(result, scan_file_range(file, {result.next_offset, end}, finder, sink, settings));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void chunk_report_run::report_front() noexcept {
    try {
        while (chunk* const part = board_.next()) {
            if (!report(*part)) return end();
            board_.reported();
            if (whole_file_ != nullptr) whole_file_->release_before(result.next_offset);
        }
    } catch (...) {
        error_ = std::current_exception();
        alone_ = false;
        end();
    }
}

bool chunk_report_run::alone() {
    if (!ended_) report_front();
    if (error_) std::rethrow_exception(error_);
    return ended_ ? alone_ : result.next_offset < room_end_;
}

bool chunk_report_run::report(chunk& part) {
    // A chunk that ended short (the file shrank, or a read failed) ends the
    // search in chunks: reading on from where it stopped finds out which.
    if (result.next_offset < std::min(part.range.first, room_end_)) return false;
    continue_with(result, reporter_.report(part, result.next_offset));
    // A chunk reported only in part (its lines could not be written, or the
    // file shrank or failed to read in it) ends the search in chunks.
    if (result.outcome != scan_outcome::complete) return false;
    // A chunk searched whole a second time: the data repeats with the
    // needle's period (a run of one byte, say), the chunks' searches fall
    // out of step with each other at every start, and one thread searching
    // on alone does the work once.
    if (!reporter_.met()) {
        alone_ = result.next_offset < room_end_;
        return false;
    }
    // Its thread ran out of memory: the rest of the chunk is searched here,
    // and the other threads search on.
    const std::uint64_t part_end = part.range.end;
    return !part.starved || result.next_offset >= std::min(part_end, room_end_) ||
           search_alone(file_, finder_, sink_, settings_, result, part_end);
}

}  // namespace bytehunt
