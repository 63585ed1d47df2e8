#include "stream_search.hpp"

#include <cstring>
#include <vector>

namespace bytehunt {
namespace {

// Collects offsets so that the sink is called once per batch, not per offset.
class offset_batch {
public:
    explicit offset_batch(offset_sink& sink) : sink_(sink) {}

    bool add(std::uint64_t offset) {
        offsets_[count_++] = offset;
        return count_ < capacity || flush();
    }

    bool flush() {
        const std::size_t count = count_;
        count_ = 0;
        return count == 0 || sink_.accept(offsets_, count);
    }

private:
    static constexpr std::size_t capacity = 1024;
    offset_sink& sink_;
    std::uint64_t offsets_[capacity];
    std::size_t count_ = 0;
};

}  // namespace

scan_outcome search_stream(searcher& finder, byte_source& source, offset_sink& sink, std::size_t block_size) {
    const std::size_t needle_length = finder.needle_length();
    // A start in the last needle_length - 1 bytes of a block can only be
    // decided with the next block, so those bytes are carried over.
    const std::size_t max_carry = needle_length > 0 ? needle_length - 1 : 0;
    std::vector<std::uint8_t> buffer(max_carry + (block_size > 0 ? block_size : 1));
    offset_batch batch(sink);

    std::uint64_t buffer_offset = 0;  // file offset of buffer[0]
    std::size_t carried = 0;
    for (;;) {
        const read_result got = source.read(buffer.data() + carried, buffer.size() - carried);
        if (got.failed) return batch.flush() ? scan_outcome::read_failed : scan_outcome::write_failed;
        if (got.count == 0) return batch.flush() ? scan_outcome::complete : scan_outcome::write_failed;

        const std::size_t length = carried + got.count;
        std::size_t resume = 0;
        for (std::size_t hit; (hit = finder.find(buffer.data(), length, resume)) != not_found;) {
            if (!batch.add(buffer_offset + hit)) return scan_outcome::write_failed;
            resume = hit + needle_length;
        }

        // Keep the tail that may begin an occurrence, but nothing before the
        // end of the last one reported.
        std::size_t keep_from = length > max_carry ? length - max_carry : 0;
        if (keep_from < resume) keep_from = resume;
        carried = length - keep_from;
        std::memmove(buffer.data(), buffer.data() + keep_from, carried);
        buffer_offset += keep_from;
    }
}

}  // namespace bytehunt
