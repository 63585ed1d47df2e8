// The hand-off of lines from the threads to the report: the pool's slots,
// the room a batch takes for its lines, who reports, and full chunks.
#include "reading/chunk_board.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace bytehunt {
namespace {

TEST(LinePool, SlotsLieApartAndTheLastGivenIsTakenFirst) {
    constexpr std::size_t size = 4096;
    line_pool pool(size, 3);
    char* const slots[] = {pool.take(), pool.take(), pool.take()};
    if (slots[0] == nullptr) GTEST_SKIP() << "this build takes lines from the heap";
    EXPECT_EQ(pool.take(), nullptr);
    for (int k = 0; k < 3; ++k) std::memset(slots[k], '1' + k, size);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(std::count(slots[k], slots[k] + size, '1' + k), size) << k;
    // None free, too large for a slot, or too small to take one: the heap's.
    EXPECT_EQ(lines_room(size, &pool).get_deleter().pool, nullptr);
    pool.give(slots[1]);
    EXPECT_EQ(lines_room(size + 1, &pool).get_deleter().pool, nullptr);
    EXPECT_EQ(lines_room(size / 4 - 1, &pool).get_deleter().pool, nullptr);
    const pooled_lines room = lines_room(size / 4, &pool);
    EXPECT_EQ(room.get(), slots[1]);
}

// One batch filled with each row in turn, its lines growing longer, as they
// do when it is reused: its room holds them all, and they are the lines.
TEST(LinePool, BatchLinesAcrossLengthBoundaries) {
    struct row {
        std::uint64_t first, step;
        std::size_t count;
    };
    const row rows[] = {
        {0, 2, 4096},                        // short lines, the most a search hands on
        {99999990, 1, 20},                   // 8 to 9 decimal digits
        {0xfffffff0, 1, 32},                 // 8 to 9 hex digits
        {9999999999999999 - 2047, 1, 4096},  // 16 to 17 decimal digits, past a pool slot
    };
    line_pool pool(line_slot_size, 1);
    for (line_pool* source : {static_cast<line_pool*>(nullptr), &pool}) {
        part_batch batch;
        line_formatter formatter;
        for (const row& r : rows) {
            std::vector<std::uint64_t> offsets(r.count);
            std::string expected;
            for (std::size_t k = 0; k < r.count; ++k) {
                offsets[k] = r.first + k * r.step;
                char line[max_offset_line];
                expected.append(line, format_offset_line(offsets[k], line));
            }
            batch.fill(offsets.data(), r.count, 1, formatter, source);
            EXPECT_LE(expected.size(), batch.lines_capacity) << r.first;
            EXPECT_EQ(std::string(batch.lines.get(), batch.lines_length), expected) << r.first;
            EXPECT_EQ(batch.offsets, std::vector<std::uint64_t>{r.first});
        }
    }
}

// A trace of two threads: the report falls to whoever finishes the first
// chunk, never to a chunk behind it; a full chunk ends where its search
// stood, and its rest comes back to the same thread, ahead of every chunk
// claimed after it; lines taken by the report free room on the board.
TEST(ChunkBoard, FirstChunkFinishedIsReportedAndAFullOneSplits) {
    chunk_board board({0, std::uint64_t{1} << 30}, chunk_sizer(1 << 20, 8 << 10, false, 4096), 64, 2);
    const auto lines = [](std::size_t length) {
        part_batch batch;
        batch.lines_length = length;
        return batch;
    };
    chunk& first = *board.claim(0);
    chunk& second = *board.claim(1);
    chunk& third = *board.claim(0);
    part_batch batch = lines(chunk_limit / 2);
    EXPECT_EQ(board.add(second, batch), batch_taken::kept);
    batch = lines(chunk_limit / 2);
    EXPECT_EQ(board.add(second, batch), batch_taken::full);
    const after_finish behind = board.finish(second, {scan_outcome::complete, 1500000, {}}, true);
    EXPECT_FALSE(behind.report);
    ASSERT_NE(behind.rest, nullptr);
    EXPECT_EQ(second.range.end, 1500000U);
    EXPECT_EQ(behind.rest->range.first, 1500000U);
    EXPECT_EQ(behind.rest->range.end, std::uint64_t{2} << 20);
    EXPECT_FALSE(board.finish(third, {scan_outcome::complete, 3 << 20, {}}, false).report);
    batch = lines(board_limit - chunk_limit);  // the first chunk never waits for room
    board.add(first, batch);
    EXPECT_TRUE(board.finish(first, {scan_outcome::complete, 1 << 20, {}}, false).report);
    ASSERT_EQ(board.next(), &first);
    while (board.take(first, batch)) {
    }
    board.reported();
    batch = lines(chunk_limit / 2);  // waits for ever where the first's lines still count
    EXPECT_EQ(board.add(*behind.rest, batch), batch_taken::kept);
    EXPECT_EQ(board.next(), &second);
    board.reported();
    EXPECT_EQ(board.next(), nullptr);  // the rest is still searched: its finisher reports
    EXPECT_TRUE(board.finish(*behind.rest, {scan_outcome::complete, 2 << 20, {}}, false).report);
    EXPECT_EQ(board.next(), behind.rest);
    board.reported();
    EXPECT_EQ(board.next(), &third);
}

// A cost trace: two threads of unequal speeds search 1 GiB, and the one
// free first claims the next chunk. Chunks shrink near the end to a quarter
// of what is left, so that the threads finish together (with 32 MiB chunks
// to the end, up to 40 MiB apart; with half of what is left, 5.4 MiB).
TEST(ChunkBoard, ThreadsFinishTogether) {
    for (const std::uint64_t cost : {100, 103, 110, 130, 160}) {  // thread 1's time a byte; thread 0's is 100
        chunk_board board({256 << 10, std::uint64_t{1} << 30}, chunk_sizer(1 << 20, 8 << 10, true, 4096), 4,
                          2);
        std::uint64_t busy_until[2] = {0, 0};
        while (chunk* const part = board.claim(busy_until[1] < busy_until[0] ? 1 : 0)) {
            busy_until[part->owner] +=
                (part->range.end - part->range.first) * (part->owner == 0 ? 100 : cost);
            if (board.finish(*part, {scan_outcome::complete, part->range.end, {}}, false).report)
                while (board.next() != nullptr) board.reported();
        }
        EXPECT_LE(std::max(busy_until[0], busy_until[1]) - std::min(busy_until[0], busy_until[1]), 420 << 20)
            << "thread 1 at " << cost;
    }
}

// A chunk's search ends right after the batch that fills it, decided past
// its last occurrence.
TEST(ChunkBoard, AChunkEndsOnceItHoldsItsLimit) {
    chunk_board board({0, std::uint64_t{1} << 30}, chunk_sizer(1 << 20, 8 << 10, false, 4096), 64, 1);
    chunk& part = *board.claim(0);
    part_batch batch;
    chunk_sink sink(board, part, 3, batch);
    std::vector<std::uint64_t> offsets(4096);
    std::uint64_t at = 0;
    for (bool going = true; going && at < 64 * 4096 * 3;) {
        for (std::uint64_t& offset : offsets) offset = (at += 3) - 3;
        going = sink.accept(offsets.data(), offsets.size());
        EXPECT_EQ(going, part.held < chunk_limit);
    }
    EXPECT_TRUE(sink.full);
    EXPECT_EQ(sink.decided, at);
}

}  // namespace
}  // namespace bytehunt
