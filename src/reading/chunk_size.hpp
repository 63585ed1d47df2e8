// How large the chunks of a file searched on several cores are: each should
// hold about the same bytes of lines, so that dense output is shared out in
// small chunks and sparse output in large ones, whose hand-offs are few.
// The sizes follow the density as the search finds it, not only as the
// first bytes showed it.
#pragma once

#include <cstdint>

namespace bytehunt {

// Bytes of lines and offsets a chunk is sized to hold. Each chunk costs a
// few hand-offs between threads: `0000` over 64 MiB of zeros, on 2 cores,
// made 3,300 context switches with chunks sized for 128 KiB and 900 with
// 512 KiB, and took 6% less time, for 1,000 more page faults (the lines in
// flight, faulted in once).
constexpr std::uint64_t held_per_chunk = std::uint64_t{512} << 10;
constexpr std::uint64_t largest_chunk = std::uint64_t{32} << 20;
// The first chunks are no larger than this, and chunks grow at most this
// many times from one to the next: a file whose first bytes hold few
// occurrences and whose rest holds many would otherwise be dealt out in
// chunks so large that the first few, each held back by the one before it,
// are searched one at a time.
constexpr std::uint64_t first_largest_chunk = std::uint64_t{1} << 20;
constexpr std::uint64_t chunk_growth = 8;

// The size of a chunk that holds about held_per_chunk bytes, where `length`
// bytes held `held`; within [smallest, largest_chunk], on a multiple of
// 4 KiB, or of 2 MiB once that large (see chunk_board::claim), and of `step`.
std::uint64_t chunk_size_for_density(std::uint64_t length, std::uint64_t held, std::uint64_t smallest,
                                     std::uint64_t step = 1);

// Whether the file after the probe is dealt out in one share per thread,
// each read front to back with the system's own read-ahead: where it comes
// from the disk (`from_disk`) with sparse output so far. Chunks dealt out in
// turn made the disk jump between places (1 GiB cold: 0.31 s against 0.52 s,
// medians of 11 runs), and asking for each chunk ahead made it worse
// (0.47 s). Not where the file's holes are dense output (`dense_holes`, a
// needle of zeros only): a share that meets a hole leaves the thread of the
// share behind it waiting for its lines (`00000000` over 1 GiB, 2 MiB of data
// at each end of a hole: 1.06 s on two cores against 0.78 s on one, with
// 21,438 context switches).
bool one_share_each(bool from_disk, bool dense, bool dense_holes);

// The size of the next chunk to deal out. `follows`: it follows what the
// chunks finished held; else it stays as it was first set.
class chunk_sizer {
public:
    // `step`: chunks also start on its multiples (searcher::repeat_step).
    chunk_sizer(std::uint64_t first_size, std::uint64_t smallest, bool follows, std::uint64_t step = 1);
    std::uint64_t size() const { return size_; }
    // The size of the next chunk where `remaining` bytes are left for
    // `threads` threads: where chunks follow the density, no more than a
    // share of what is left, so that the threads finish together rather
    // than one searching the last large chunk alone.
    std::uint64_t size_for(std::uint64_t remaining, unsigned threads) const;
    // A chunk of `length` bytes finished, holding `held` bytes of lines and
    // offsets. Sizes shrink at once (a chunk too large for dense output
    // holds up the threads behind it) and grow by chunk_growth at most.
    void finished(std::uint64_t length, std::uint64_t held);

private:
    std::uint64_t size_;
    std::uint64_t smallest_;
    std::uint64_t step_;
    bool follows_;
};

}  // namespace bytehunt
