#include "reading/chunk_size.hpp"

#include <numeric>

#include "reading/file_access.hpp"

namespace bytehunt {

namespace {

// Chunks start on multiples of 4 KiB, so that in data that repeats with a
// period that divides it (a run of one byte, say) each chunk's search is in
// step with the search before it; and of 2 MiB once they are that large, so
// that their maps hold whole large pages. Both also on multiples of `step`
// (see chunk_sizer), rounding up where a chunk would be smaller.
std::uint64_t on_grain(std::uint64_t size, std::uint64_t step) {
    const std::uint64_t grain = std::lcm(size >= 2 * large_page ? large_page : std::uint64_t{4096}, step);
    // The least common multiple of two positive numbers is positive.
    if (size >= grain) return size - size % grain;  // NOLINT(clang-analyzer-core.DivideZero)
    return step > 1 ? grain : size;
}

std::uint64_t within(std::uint64_t size, std::uint64_t smallest, std::uint64_t largest) {
    return size < smallest ? smallest : size > largest ? largest : size;
}

}  // namespace

std::uint64_t chunk_size_for_density(std::uint64_t length, std::uint64_t held, std::uint64_t smallest,
                                     std::uint64_t step) {
    // In floating point: a chunk that ran over a long hole can be a TiB long.
    const double wanted = held == 0 ? static_cast<double>(largest_chunk)
                                    : static_cast<double>(held_per_chunk) * static_cast<double>(length) /
                                          static_cast<double>(held);
    const auto size =
        wanted >= static_cast<double>(largest_chunk) ? largest_chunk : static_cast<std::uint64_t>(wanted);
    return on_grain(within(size, smallest, largest_chunk), step);
}

bool one_share_each(bool from_disk, bool dense, bool dense_holes) {
    return from_disk && !dense && !dense_holes;
}

chunk_sizer::chunk_sizer(std::uint64_t first_size, std::uint64_t smallest, bool follows, std::uint64_t step)
    : size_(on_grain(follows ? within(first_size, smallest, first_largest_chunk) : first_size, step)),
      smallest_(smallest),
      step_(step),
      follows_(follows) {}

std::uint64_t chunk_sizer::size_for(std::uint64_t remaining, unsigned threads) const {
    // Not below two large pages, so that chunks still hold whole ones.
    const std::uint64_t least = 2 * large_page;
    if (!follows_ || size_ <= least) return size_;
    return on_grain(within(remaining / (2 * std::uint64_t{threads}), least, size_), step_);
}

void chunk_sizer::finished(std::uint64_t length, std::uint64_t held) {
    if (!follows_) return;
    const std::uint64_t wanted = chunk_size_for_density(length, held, smallest_, step_);
    size_ = on_grain(within(wanted, smallest_, size_ * chunk_growth), step_);
}

}  // namespace bytehunt
