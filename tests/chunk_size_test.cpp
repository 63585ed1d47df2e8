// Chunk sizes follow the density the search finds: they shrink at once where
// output turns dense, grow a step at a time where it thins out, and stay on
// their grain.
#include "reading/chunk_size.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;
// What a chunk is sized to hold.
constexpr std::uint64_t H = bytehunt::held_per_chunk;

TEST(ChunkSizer, FollowsTheDensityOfTheChunksFinished) {
    struct trace {
        const char* what;
        std::uint64_t first_size;
        bool follows;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> finished;  // length, bytes held
        std::vector<std::uint64_t> sizes;  // the size before each, and after the last
        std::uint64_t step = 1;            // the needle's repeat step
    };
    const std::vector<trace> traces = {
        {"dense, then nothing found: grows eightfold a chunk, up to 32 MiB",
         bytehunt::chunk_size_for_density(256 * KiB, 64 * H, 8 * KiB),
         true,
         {{8 * KiB, 0}, {64 * KiB, 0}, {512 * KiB, 0}, {4 * MiB, 0}, {32 * MiB, 0}},
         {8 * KiB, 64 * KiB, 512 * KiB, 4 * MiB, 32 * MiB, 32 * MiB}},
        {"nothing found first: 1 MiB chunks at first, the smallest once dense",
         bytehunt::chunk_size_for_density(256 * KiB, 0, 8 * KiB),
         true,
         {{1 * MiB, 256 * H}},
         {1 * MiB, 8 * KiB}},
        {"sizes in between, on 4 KiB, or 2 MiB once that large",
         1 * MiB,
         true,
         {{1 * MiB, H / 2}, {2 * MiB, H - 1}, {3 * MiB + 12 * KiB, H}, {4 * MiB, H * 100 / 128}, {9000, H}},
         {1 * MiB, 2 * MiB, 2 * MiB, 3 * MiB + 12 * KiB, 4 * MiB, 8 * KiB}},
        {"a chunk run over a hole of a TiB", 32 * MiB, true, {{1024 * 1024 * MiB, 100}}, {1 * MiB, 8 * MiB}},
        {"one share per thread stays as set",
         100 * MiB + 5,
         false,
         {{8 * KiB, 20 * MiB}},
         {100 * MiB, 100 * MiB}},
        {"on multiples of a repeat step of 56 too: 28 KiB, 14 MiB, rounded up where smaller",
         1 * MiB,
         true,
         {{1 * MiB, 256 * H}, {28 * KiB, 0}, {224 * KiB, 0}, {1792 * KiB, 0}},
         {1008 * KiB, 28 * KiB, 224 * KiB, 1792 * KiB, 14 * MiB},
         56},
        {"grown eightfold to 7.9 MiB, then up to the next multiple of 14 MiB",
         1 * MiB,
         true,
         {{1008 * KiB, 0}},
         {1008 * KiB, 14 * MiB},
         56},
    };
    for (const trace& t : traces) {
        bytehunt::chunk_sizer sizer(t.first_size, 8 * KiB, t.follows, t.step);
        std::vector<std::uint64_t> sizes{sizer.size()};
        for (const auto& [length, held] : t.finished) {
            sizer.finished(length, held);
            sizes.push_back(sizer.size());
        }
        EXPECT_EQ(sizes, t.sizes) << t.what;
    }
    // A share per thread, read front to back from the disk, stays whole to the end.
    EXPECT_EQ(bytehunt::chunk_sizer(100 * MiB, 8 * KiB, false).size_for(150 * MiB, 2), 100 * MiB);
}

}  // namespace
