#include "stream_search.hpp"

#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "block_buffer.hpp"
#include "check.hpp"

namespace bytehunt {

namespace {

// One batch of a search's offsets, and the starts they are made from: not
// on the stack, which may be as small as 16 KiB.
constexpr std::size_t batch_size = 4096;
struct batch_space {
    std::uint64_t offsets[batch_size];
    // `offsets` itself where std::size_t is std::uint64_t, each start made
    // its offset in place (half the memory); else room of its own.
    std::size_t* starts;
    std::unique_ptr<std::size_t[]> own_starts;
};

// Each thread's batch, allocated at its first search and freed when the
// thread ends.
thread_local std::unique_ptr<batch_space> held;

batch_space& thread_batch() {
    if (held != nullptr) return *held;
    std::unique_ptr<batch_space> made(new batch_space);  // not zeroed: every entry used is written
    if (!std::is_same<std::size_t, std::uint64_t>::value) made->own_starts.reset(new std::size_t[batch_size]);
    // Where they are the same type, the cast changes nothing.
    made->starts =
        made->own_starts != nullptr ? made->own_starts.get() : reinterpret_cast<std::size_t*>(made->offsets);
    held = std::move(made);
    return *held;
}

}  // namespace

bool search_block(searcher& finder, const std::uint8_t* data, std::size_t length, std::uint64_t base,
                  std::size_t& from, offset_sink& sink) {
    batch_space& batch = thread_batch();
    std::size_t* const starts = batch.starts;
    std::uint64_t* const offsets = batch.offsets;
    const match_list matches{starts, batch_size};
    for (;;) {
        const std::size_t before = from;
        const std::size_t count = finder.find_all(data, length, from, matches, from);
        BYTEHUNT_CHECK(count < batch_size || from > before);
        for (std::size_t i = 0; i < count; ++i) offsets[i] = base + starts[i];
        if (count > 0 && !sink.accept(offsets, count)) return false;
        if (count < batch_size) break;
    }
    return sink.flush();
}

scan_outcome search_stream(searcher& finder, byte_source& source, offset_sink& sink, std::size_t block_size,
                           std::uint64_t start_offset) {
    const std::size_t needle_length = finder.needle_length();
    // A start in the last needle_length - 1 bytes of a block can only be
    // decided with the next block, so those bytes are carried over.
    const std::size_t max_carry = needle_length > 0 ? needle_length - 1 : 0;
    block_buffer buffer(max_carry + (block_size > 0 ? block_size : 1));

    std::uint64_t buffer_offset = start_offset;  // input offset of buffer[0]
    std::size_t carried = 0;
    for (;;) {
        const read_result got = source.read(buffer.data() + carried, buffer.size() - carried);
        if (got.failed) return scan_outcome::read_failed;
        if (got.count == 0) return scan_outcome::complete;

        const std::size_t length = carried + got.count;
        std::size_t resume = 0;
        if (!search_block(finder, buffer.data(), length, buffer_offset, resume, sink)) {
            return scan_outcome::write_failed;
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
