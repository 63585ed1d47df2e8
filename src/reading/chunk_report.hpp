// Reporting the chunks in file order: each chunk's offsets are handed on
// once the search from the start is in step with the chunk's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reading/chunk_board.hpp"

namespace bytehunt {

class chunk_cursor;

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
    chunk_reporter(const open_file& file, searcher& mender, offset_sink& sink, chunk_board& board)
        : file_(file),
          mender_(mender),
          sink_(sink),
          board_(board),
          tools_(file, way_bit(read_way::copy), mending_stretch + mender.needle_length() - 1) {
        // Room for every occurrence a stretch can hold, taken here: the
        // report may run on a thread whose memory ran out.
        found_.found.reserve(mending_stretch / mender.needle_length() + 1);
    }

    // Whether the last chunk's own search met the one from the start.
    bool met() const { return met_; }

    // Reports `part` from `decided`; returns the scan's result after it.
    file_scan_result report(chunk& part, std::uint64_t decided);

private:
    file_scan_result mend(chunk_cursor& cursor, std::uint64_t pos, std::uint64_t end, bool& met);
    // The chunk ends early: the sink failed, or the file shrank or failed to
    // read at `decided`, where reading on finds out which.
    static file_scan_result failed(std::uint64_t decided, scan_outcome outcome) {
        return {outcome, decided, {}};
    }

    open_file file_;
    searcher& mender_;
    offset_sink& sink_;
    chunk_board& board_;
    range_tools tools_;      // the mending stretches' buffer, and the file's holes
    collecting_sink found_;  // what a mending stretch found
    bool met_ = true;
};

}  // namespace bytehunt
