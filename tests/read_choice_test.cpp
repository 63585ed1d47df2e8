// The way of reading chosen from what each stretch cost: fed cost traces like
// those seen on real hosts, the chooser ends within a few percent of the best
// single way, whichever way that is and however the costs move.
#include "reading/read_choice.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace {

using bytehunt::read_way;
using bytehunt::way_bit;

// A way's cost per byte, in picoseconds, in the MiB numbered `mib`, for the
// stretch numbered `sample` (for noise: what else ran then).
using cost_trace = std::function<std::uint64_t(read_way way, unsigned mib, unsigned sample)>;

constexpr unsigned stretches = 1024;  // 1 GiB in stretches of 1 MiB
constexpr std::size_t stretch_bytes = std::size_t{1} << 20;
constexpr std::size_t copy_bytes = std::size_t{256} << 10;  // a copied stretch is smaller

// What the chooser's picks cost in all, in picoseconds, over 1 GiB.
std::uint64_t chosen_cost(unsigned ways, const cost_trace& cost) {
    bytehunt::read_way_chooser chooser(ways);
    std::uint64_t total = 0;
    unsigned sample = 0;
    for (std::uint64_t at = 0; at < std::uint64_t{stretches} * stretch_bytes; ++sample) {
        const read_way way = chooser.next();
        EXPECT_NE(ways & way_bit(way), 0u) << "at " << at;
        const std::size_t bytes = way == read_way::copy || chooser.trying() ? copy_bytes : stretch_bytes;
        const std::uint64_t picoseconds = cost(way, static_cast<unsigned>(at / stretch_bytes), sample);
        total += picoseconds * bytes;
        chooser.record(bytes, picoseconds * bytes / 1000);
        at += bytes;
    }
    return total;
}

std::uint64_t single_way_cost(read_way way, const cost_trace& cost) {
    std::uint64_t total = 0;
    for (unsigned mib = 0; mib < stretches; ++mib) total += cost(way, mib, mib) * stretch_bytes;
    return total;
}

// Costs by region: {copy, map, populated map} for each region in turn.
cost_trace regions(std::vector<std::array<std::uint64_t, 3>> costs, unsigned region_stretches) {
    return [costs, region_stretches](read_way way, unsigned mib, unsigned /*sample*/) {
        return costs[mib / region_stretches % costs.size()][static_cast<std::size_t>(way)];
    };
}

TEST(ReadWayChooser, EndsWithinAFewPercentOfTheBestSingleWay) {
    const unsigned all = bytehunt::all_read_ways;
    // One stretch in 20 of any way slowed fivefold by something else.
    const auto noisy = [](std::uint64_t copy, std::uint64_t map, std::uint64_t populated) -> cost_trace {
        return [=](read_way way, unsigned /*mib*/, unsigned sample) {
            const std::uint64_t base = way == read_way::copy ? copy : way == read_way::map ? map : populated;
            return (sample * 7919u + static_cast<unsigned>(way)) % 20 == 0 ? 5 * base : base;
        };
    };
    const struct {
        const char* name;
        unsigned ways;
        cost_trace cost;
    } cases[] = {
        // Pages written in large writes: the map's cost swings from region
        // to region (costs as measured on one such file, 128 MiB each).
        {"mixed pages", all,
         regions({{120, 494, 372},
                  {74, 73, 55},
                  {188, 64, 149},
                  {75, 45, 48},
                  {90, 43, 179},
                  {91, 486, 333},
                  {80, 491, 342},
                  {70, 64, 49}},
                 128)},
        // The way chosen turns 4x worse soon after it was chosen.
        {"map turns worse", all,
         [](read_way way, unsigned mib, unsigned /*sample*/) -> std::uint64_t {
             if (way == read_way::copy) return 75;
             return (mib < 40 ? 45 : 180) + (way == read_way::populated_map ? 10 : 0);
         }},
        {"copy turns worse", way_bit(read_way::copy) | way_bit(read_way::map),
         [](read_way way, unsigned mib, unsigned /*sample*/) -> std::uint64_t {
             return way == read_way::map ? 80 : mib < 300 ? 50 : 200;
         }},
        // Regions that alternate between cheap and dear maps.
        {"alternating by 64", all, regions({{75, 45, 50}, {75, 490, 400}}, 64)},
        {"alternating by 128", all, regions({{75, 45, 50}, {75, 490, 400}}, 128)},
        {"maps far behind", all, regions({{75, 300, 320}}, 1)},
        {"copy far behind", all, regions({{300, 60, 55}}, 1)},
        {"all alike", all, regions({{50, 50, 50}}, 1)},
        {"maps a little cheaper", all, regions({{100, 85, 95}}, 1)},
        // The first stretch of all costs 45 times the others, whatever its way.
        {"slow first stretch", all,
         [](read_way way, unsigned mib, unsigned sample) -> std::uint64_t {
             const std::uint64_t base = way == read_way::copy ? 87 : way == read_way::map ? 500 : 400;
             return sample == 0 && mib == 0 ? 45 * base : base;
         }},
        {"noise", all, noisy(100, 60, 70)},
        // Ways a little dearer than the copy, every stretch 10% off either way
        // (pages read back from disk).
        {"close, jittery", all,
         [](read_way way, unsigned /*mib*/, unsigned sample) -> std::uint64_t {
             const std::uint64_t base = way == read_way::copy ? 700 : way == read_way::map ? 820 : 800;
             return base * (90 + (sample * 7919u) % 21) / 100;
         }},
        {"noise, copy best", all, noisy(60, 100, 90)},
        // Maps of large pages: a page's first MiB pays for all of it.
        {"large pages, copy best", all,
         [](read_way way, unsigned mib, unsigned /*sample*/) -> std::uint64_t {
             return way == read_way::copy ? 70 : mib % 2 == 0 ? 150 : 40;
         }},
        {"large pages, maps best", all,
         [](read_way way, unsigned mib, unsigned /*sample*/) -> std::uint64_t {
             return way == read_way::copy ? 100 : mib % 2 == 0 ? 60 : 20;
         }},
        // A copy right after a map finds its buffer out of the cache.
        {"copy cold after maps", all,
         [previous = read_way::copy](read_way way, unsigned /*mib*/,
                                     unsigned sample) mutable -> std::uint64_t {
             const bool cold = way == read_way::copy && previous != read_way::copy;
             previous = way;
             if (sample == 1) return way == read_way::copy ? 200 : 75;  // the other thread starting
             return way == read_way::copy ? (cold ? 150 : 65) : 80;
         }},
    };
    for (const auto& c : cases) {
        std::uint64_t best = UINT64_MAX;
        for (const read_way way : {read_way::copy, read_way::map, read_way::populated_map}) {
            if ((c.ways & way_bit(way)) != 0) best = std::min(best, single_way_cost(way, c.cost));
        }
        const std::uint64_t chosen = chosen_cost(c.ways, c.cost);
        EXPECT_LE(chosen * 100, best * 105) << c.name << ": " << chosen << " against " << best;
    }
}

// A single way allowed is the only one used; none allowed means the copy.
TEST(ReadWayChooser, KeepsToTheWaysAllowed) {
    const cost_trace map_cheap = regions({{300, 10, 20}}, 1);
    for (const unsigned ways : {way_bit(read_way::copy), way_bit(read_way::populated_map), 0u}) {
        bytehunt::read_way_chooser chooser(ways);
        for (unsigned stretch = 0; stretch < 100; ++stretch) {
            ASSERT_EQ(way_bit(chooser.next()), ways == 0 ? way_bit(read_way::copy) : ways);
            chooser.record(stretch_bytes, map_cheap(chooser.next(), stretch, stretch) * stretch_bytes / 1000);
        }
    }
}

}  // namespace
