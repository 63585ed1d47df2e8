// Test doubles for the scan's seams: bytes from memory, handed out a few at a
// time or failing on cue, and offsets collected into a vector.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "search/reference.hpp"
#include "search/searcher.hpp"
#include "stream_search.hpp"

namespace test_support {

class memory_source final : public bytehunt::byte_source {
public:
    // Hands out at most `chunk` bytes per read; fails once `fail_after`
    // bytes have been handed out, if that is less than the data's size.
    explicit memory_source(std::vector<std::uint8_t> data, std::size_t chunk = SIZE_MAX,
                           std::size_t fail_after = SIZE_MAX)
        : data_(std::move(data)), chunk_(chunk), fail_after_(fail_after) {}

    bytehunt::read_result read(std::uint8_t* into, std::size_t capacity) override {
        if (position_ >= fail_after_ && position_ < data_.size()) return {0, true};
        const std::size_t limit = std::min(fail_after_, data_.size());
        const std::size_t count = std::min({capacity, chunk_, limit - position_});
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(position_), count, into);
        position_ += count;
        return {count, false};
    }

    std::size_t position() const { return position_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t chunk_;
    std::size_t fail_after_;
    std::size_t position_ = 0;
};

class vector_sink final : public bytehunt::offset_sink {
public:
    explicit vector_sink(std::size_t refuse_after = SIZE_MAX) : refuse_after_(refuse_after) {}

    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        if (offsets_.size() + count > refuse_after_) return false;
        offsets_.insert(offsets_.end(), offsets, offsets + count);
        return true;
    }
    // With `lines_only`, it reads the offsets off the lines, as the report
    // takes them, and never the offsets handed with them.
    bool takes_lines() const override { return lines_only; }
    bool accept_lines(const std::uint64_t* offsets, std::size_t count, const char* lines,
                      std::size_t lines_length) override {
        if (!lines_only) return accept(offsets, count);
        std::vector<std::uint64_t> read;
        for (const char *at = lines, *end = lines + lines_length; at < end; ++at) {
            std::uint64_t offset = 0;
            for (; *at != ' '; ++at) offset = offset * 10 + static_cast<std::uint64_t>(*at - '0');
            read.push_back(offset);
            at = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        }
        return read.size() == count && accept(read.data(), read.size());
    }

    std::vector<std::uint64_t> offsets_;
    bool lines_only = false;

private:
    std::size_t refuse_after_;
};

// The expected answer: the leftmost occurrence, then the next one starting
// after its last byte, and so on.
inline std::vector<std::uint64_t> reference_offsets(const std::vector<std::uint8_t>& haystack,
                                                    const std::vector<std::uint8_t>& needle) {
    std::vector<std::uint64_t> offsets;
    std::size_t from = 0;
    for (std::size_t hit;
         (hit = bytehunt::reference_find(haystack.data(), haystack.size(), from, needle.data(),
                                         needle.size())) != bytehunt::not_found;) {
        offsets.push_back(hit);
        from = hit + needle.size();
    }
    return offsets;
}

// The offsets that the scan reports for `haystack`, read `chunk` bytes at a
// time into blocks of `block_size`.
inline std::vector<std::uint64_t> scanned_offsets(const std::vector<std::uint8_t>& haystack,
                                                  const std::vector<std::uint8_t>& needle,
                                                  bytehunt::cpu_path path, std::size_t block_size,
                                                  std::size_t chunk = SIZE_MAX) {
    bytehunt::searcher finder(needle.data(), needle.size(), path);
    memory_source source(haystack, chunk);
    vector_sink sink;
    const bytehunt::scan_outcome outcome = bytehunt::search_stream(finder, source, sink, block_size);
    if (outcome != bytehunt::scan_outcome::complete) return {UINT64_MAX};
    return sink.offsets_;
}

}  // namespace test_support
