// Reporting the chunks in file order, on whichever thread finished the
// first of them: each chunk's offsets are handed on once the search from
// the start is in step with the chunk's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
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

// `result` goes on with what a later search of the file did.
void continue_with(file_scan_result& result, const file_scan_result& later);

// This thread alone searches on from where `result` stands, up to `end`.
// Without memory for a stretch's buffer (asked for before any offset is
// handed on), false: reading on in smaller blocks searches the rest.
bool search_alone(const open_file& file, searcher& finder, offset_sink& sink, const read_settings& settings,
                  file_scan_result& result, std::uint64_t end);

// The report of the chunks in file order after the probe's `result`, run by
// whichever thread finished the first chunk, one thread at a time.
class chunk_report_run {
public:
    chunk_report_run(const open_file& file, searcher& finder, offset_sink& sink,
                     const read_settings& settings, chunk_board& board, const file_scan_result& result)
        : result(result),
          file_(file),
          finder_(finder),
          sink_(sink),
          settings_(settings),
          board_(board),
          mender_(finder.needle(), finder.needle_length()),
          reporter_(file, mender_, sink, board),
          room_end_(file.size - finder.needle_length() + 1) {}

    // The map of the file that the chunks borrow: its pages behind the
    // report are released as it moves on.
    void release_behind_report(shared_file_map* whole_file) { whole_file_ = whole_file; }
    // Reports the finished chunks at the front, up to the first one still
    // searched. What it throws is thrown again by alone(), on the thread
    // that started the others.
    void report_front() noexcept;
    // Once the threads are gone: reports what they left, and says whether
    // one thread should search on alone from where the result stands.
    bool alone();

    file_scan_result result;

private:
    // Reports `part`; false where the search in chunks ends there, with
    // alone_ set for whether one thread searches on.
    bool report(chunk& part);
    void end() {
        ended_ = true;
        board_.stop();
    }

    open_file file_;
    searcher& finder_;
    offset_sink& sink_;
    read_settings settings_;
    chunk_board& board_;
    searcher mender_;
    chunk_reporter reporter_;
    std::uint64_t room_end_;  // starts at or past it leave no room for a needle
    shared_file_map* whole_file_ = nullptr;
    std::exception_ptr error_;
    bool ended_ = false;  // the search in chunks ended early
    bool alone_ = false;
};

}  // namespace bytehunt
