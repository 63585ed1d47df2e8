#include "reading/file_scan.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#endif

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "block_buffer.hpp"
#include "check.hpp"
#include "input.hpp"
#include "reading/mapped_view.hpp"

namespace bytehunt {

namespace {

// Passes offsets on and remembers how far the search is decided. Offsets
// found in mapped memory, or known in a hole, are passed on only while the
// file still holds the whole occurrence: past a shrinking file's new end, a
// map shows zeros.
class checked_sink final : public offset_sink {
public:
    checked_sink(offset_sink& next, int descriptor, std::size_t needle_length, std::uint64_t first)
        : decided(first), next_(next), descriptor_(descriptor), needle_length_(needle_length) {}

    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        std::size_t kept = count;
        if (unread) {
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

    // Whether the offsets come from mapped memory or a hole, not from read().
    bool unread = false;
    // Set when the file no longer held an occurrence found unread.
    bool shrunk = false;
    std::uint64_t decided;

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

std::uint64_t lowest(std::uint64_t a, std::uint64_t b) {
    return a < b ? a : b;
}

// The ways a range may be read: 32-bit builds only copy, since a large file
// does not fit their address space, and the only 32-bit machines we can test
// on (qemu-user) map offsets of 4 GiB and more to the wrong bytes. Maps are
// taken only while a handler stands ready for their faults.
unsigned usable_ways(unsigned ways) {
    if (sizeof(void*) < 8 || !map_faults_caught()) ways = way_bit(read_way::copy);
#if !defined(MADV_POPULATE_READ)
    ways &= ~way_bit(read_way::populated_map);
#endif
    return ways;
}

enum class step { go_on, stop, not_taken };

// The starts of one range, decided stretch by stretch. Each stretch decides
// the starts in [begin, begin + its size) and needs the needle_length - 1
// bytes after them; a hole is passed over, or its zeros counted, unread.
class stretch_scan {
public:
    stretch_scan(const open_file& file, file_range range, searcher& finder, offset_sink& sink,
                 const read_settings& settings, range_tools* tools);
    file_scan_result run();

private:
    void ask_ahead(std::uint64_t begin);
    step pass_hole(std::uint64_t begin, std::uint64_t hole_end);
    step count_zeros(std::uint64_t begin, std::uint64_t last);
    read_way choose_way();
    step search_stretch(std::uint64_t begin, std::uint64_t starts_limit);
    bool search(read_way way, std::uint64_t begin, std::size_t& length, std::size_t& from, bool& cut_short);

    int descriptor_;
    std::uint64_t size_;
    file_range range_;
    searcher& finder_;
    const read_settings& settings_;
    std::size_t needle_length_;
    bool zeros_only_;
    // The bytes the range needs: its starts and the needle's length after the
    // last one, within the file.
    std::uint64_t bytes_limit_;
    std::size_t copy_size_;
    checked_sink checked_;
    mapped_view view_;
    read_way_chooser own_chooser_;
    read_way_chooser* chooser_;
    std::unique_ptr<block_buffer> own_buffer_;
    std::uint8_t* copy_into_;
    std::optional<file_extents> own_extents_;
    file_extents* extents_;
    std::vector<std::uint64_t> zero_offsets_;
    std::uint64_t asked_until_;  // the file's bytes are asked for up to here (with read_ahead set)
    std::uint64_t brought_[read_way_count] = {};
    bool write_failed_ = false;
};

stretch_scan::stretch_scan(const open_file& file, file_range range, searcher& finder, offset_sink& sink,
                           const read_settings& settings, range_tools* tools)
    : descriptor_(file.descriptor),
      size_(file.size),
      range_(range),
      finder_(finder),
      settings_(settings),
      needle_length_(finder.needle_length()),
      zeros_only_(finder.zeros_only()),
      bytes_limit_(size_ - range.end >= needle_length_ - 1 ? range.end + needle_length_ - 1 : size_),
      copy_size_(lowest(settings.copy_size, settings.stretch_size)),
      checked_(sink, file.descriptor, needle_length_, range.first),
      view_(file.descriptor, range.first, bytes_limit_, settings.holes,
            tools != nullptr ? tools->map : nullptr),
      own_chooser_(usable_ways(settings.ways)),
      asked_until_(range.first) {
    // A scan of many ranges in turn keeps its choice of way, its buffer and
    // what it knows of the holes; where maps are refused, this range is
    // copied.
    const bool maps = (usable_ways(settings.ways) & ~way_bit(read_way::copy)) != 0;
    chooser_ = tools != nullptr && maps ? &tools->chooser : &own_chooser_;
    // No larger than the range: a small file needs no large buffer.
    const std::size_t buffer_size =
        static_cast<std::size_t>(lowest(range.end - range.first, copy_size_)) + needle_length_ - 1;
    if (tools == nullptr || tools->buffer.size() < buffer_size)
        own_buffer_ = std::make_unique<block_buffer>(buffer_size);
    copy_into_ = own_buffer_ != nullptr ? own_buffer_->data() : tools->buffer.data();
    if (tools == nullptr) own_extents_.emplace(file.descriptor, file.size);
    extents_ = tools != nullptr ? &tools->extents : &*own_extents_;
}

file_scan_result stretch_scan::run() {
    while (checked_.decided < range_.end && size_ - checked_.decided >= needle_length_) {
        const std::uint64_t begin = checked_.decided;
        ask_ahead(begin);
        const extent part = extents_->at(begin);
        step next = part.hole ? pass_hole(begin, part.end) : step::not_taken;
        if (next == step::not_taken) {
            // Data, or a hole too short to hold a needle from here: the
            // stretch ends with the data that follows it.
            const bool data_follows = part.hole && part.end < size_;
            next = search_stretch(begin, data_follows ? extents_->at(part.end).end : part.end);
        }
        if (next == step::stop) break;
    }
    file_scan_result result{
        write_failed_ ? scan_outcome::write_failed : scan_outcome::complete, checked_.decided, {}};
    std::copy(brought_, brought_ + read_way_count, result.brought);
    return result;
}

// A file that must come from the disk is asked for in large steps, half the
// distance at a time; its holes are never asked for.
void stretch_scan::ask_ahead(std::uint64_t begin) {
    if (asked_until_ < begin) asked_until_ = begin;
    if (settings_.read_ahead == 0 || asked_until_ >= bytes_limit_ ||
        asked_until_ - begin >= settings_.read_ahead / 2)
        return;
    const std::uint64_t until =
        bytes_limit_ - begin > settings_.read_ahead ? begin + settings_.read_ahead : bytes_limit_;
    for (std::uint64_t at = asked_until_; at < until;) {
        const extent part = extents_->at(at);
        const std::uint64_t end = lowest(part.end, until);
        if (!part.hole) read_soon(descriptor_, at, end - at);
        at = end;
    }
    asked_until_ = until;
}

// A hole reads as zeros: a needle with any other byte starts nowhere that
// its whole length lies in the hole, and one of zeros only starts at every
// needle length from here, leftmost first.
step stretch_scan::pass_hole(std::uint64_t begin, std::uint64_t hole_end) {
    if (hole_end - begin < needle_length_) return step::not_taken;
    // The first start whose needle runs out of the hole.
    const std::uint64_t last = lowest(hole_end - needle_length_ + 1, range_.end);
    if (!zeros_only_) {
        checked_.decided = last;
        return step::go_on;
    }
    return count_zeros(begin, last);
}

// Hands on the occurrences at begin, begin + needle_length, ... before
// `last`, a stretch's worth at a time, as a search of the zeros would.
step stretch_scan::count_zeros(std::uint64_t begin, std::uint64_t last) {
    constexpr std::size_t batch_size = 4096;
    zero_offsets_.resize(batch_size);
    last = lowest(last, begin + settings_.stretch_size);
    checked_.unread = true;
    for (std::uint64_t at = begin; at < last;) {
        std::size_t count = 0;
        for (; count < batch_size && at < last; at += needle_length_) zero_offsets_[count++] = at;
        if (!checked_.accept(zero_offsets_.data(), count)) {
            write_failed_ = !checked_.shrunk;
            return step::stop;
        }
    }
    write_failed_ = !checked_.flush();
    return write_failed_ ? step::stop : step::go_on;
}

// The way of the next stretch; the map is taken when a stretch first asks
// for it, so a range that is only copied costs no map.
read_way stretch_scan::choose_way() {
    if (chooser_->next() != read_way::copy && !view_.take()) {
        own_chooser_ = read_way_chooser(way_bit(read_way::copy));
        chooser_ = &own_chooser_;
    }
    return chooser_->next();
}

// Brings in the bytes [begin, begin + length) the way given and searches
// them from `from`; false when the sink failed or a fault ended the search.
// `length` becomes what was read, with `cut_short` set when the file gave
// fewer bytes than asked (reading on finds out why).
bool stretch_scan::search(read_way way, std::uint64_t begin, std::size_t& length, std::size_t& from,
                          bool& cut_short) {
    checked_.unread = way != read_way::copy;
    if (way == read_way::copy) {
        const std::size_t got = read_up_to(descriptor_, copy_into_, length, begin);
        cut_short = got < length;
        length = got;
        if (search_block(finder_, copy_into_, length, begin, from, checked_)) return true;
        write_failed_ = true;
        return false;
    }
    if (way == read_way::populated_map) view_.populate(begin, begin + length);
    const guarded_outcome outcome = view_.search(finder_, begin, length, from, checked_);
    write_failed_ = outcome == guarded_outcome::sink_failed && !checked_.shrunk;
    return outcome == guarded_outcome::searched;
}

// One stretch of data: its starts end by `starts_limit`.
step stretch_scan::search_stretch(std::uint64_t begin, std::uint64_t starts_limit) {
    const read_way way = choose_way();
    // A way merely tried brings in as little as a copy does: trying a way
    // that costs four times as much stays cheap.
    const std::size_t starts =
        way == read_way::copy || chooser_->trying() ? copy_size_ : settings_.stretch_size;
    const std::uint64_t starts_end = lowest(lowest(range_.end, starts_limit), begin + starts);
    const std::uint64_t bytes_end =
        bytes_limit_ - starts_end > needle_length_ - 1 ? starts_end + needle_length_ - 1 : bytes_limit_;
    auto length = static_cast<std::size_t>(bytes_end - begin);
    const std::uint64_t started = now_ns();
    std::size_t from = 0;
    bool cut_short = false;
    if (!search(way, begin, length, from, cut_short)) return step::stop;
    brought_[static_cast<int>(way)] += length;
    if (begin + from > checked_.decided) checked_.decided = begin + from;
    if (cut_short) {
        chooser_->record(length, now_ns() - started);
        return step::stop;
    }
    BYTEHUNT_CHECK(checked_.decided > begin);
    // When the copy ends (its time, for the chooser).
    const std::uint64_t copied_at = way == read_way::copy ? now_ns() : 0;
    view_.release_behind(checked_.decided, way == read_way::copy ? 0 : bytes_end);
    // The search's cost is the same either way, and a map's pages come in
    // as the search reaches them and cost again when they are dropped: a
    // mapped stretch is timed whole, its release included. A copied stretch
    // is timed without the release of the pages the maps before it left
    // behind: that cost is theirs, not the copy's.
    chooser_->record(length, (way == read_way::copy ? copied_at : now_ns()) - started);
    return step::go_on;
}

}  // namespace

file_scan_result scan_regular_file(std::FILE* stream, searcher& finder, offset_sink& sink,
                                   const read_settings& settings) {
    const int descriptor = fileno(stream);
    const std::uint64_t size = file_size(descriptor);
    if (finder.needle_length() == 0 || size == 0) return {scan_outcome::complete, 0, {}};
    advise_access(descriptor, settings.holes);
    const bus_fault_handler handler;
    return scan_file_range({descriptor, size}, {0, size}, finder, sink, settings);
}

file_scan_result scan_file_range(const open_file& file, file_range range, searcher& finder, offset_sink& sink,
                                 const read_settings& settings, range_tools* tools) {
    const std::size_t needle_length = finder.needle_length();
    if (needle_length == 0 || range.first >= range.end || file.size - range.first < needle_length) {
        return {scan_outcome::complete, range.first, {}};
    }
    return stretch_scan(file, range, finder, sink, settings, tools).run();
}

}  // namespace bytehunt
