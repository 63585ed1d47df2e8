#include "reading/chunk_report.hpp"

#include "check.hpp"

namespace bytehunt {

file_scan_result chunk_reporter::report(chunk& part, std::uint64_t decided) {
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
    const std::uint64_t room_end = file_.size - needle_length + 1;
    const std::uint64_t end = range.end < room_end ? range.end : room_end;
    while (!met && pos < end) {
        collecting_sink found;
        const std::uint64_t stretch_end = end - pos > mending_stretch ? pos + mending_stretch : end;
        const file_scan_result own = scan_file_range(file_, {pos, stretch_end}, mender_, found,
                                                     {way_bit(read_way::copy), mending_stretch}, &tools_);
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

}  // namespace bytehunt
