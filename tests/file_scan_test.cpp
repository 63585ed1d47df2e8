// A regular file searched stretch by stretch: every way of reading agrees with
// the reference across stretch boundaries, a map never shows bytes past the
// end of a file cut under it, and the choice of way follows what each costs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "memory_source.hpp"
#include "scan.hpp"

namespace {

using bytehunt::read_way;
using bytehunt::way_bit;
using bytes = std::vector<std::uint8_t>;
using offsets = std::vector<std::uint64_t>;

// A file holding `data`, open for reading, removed afterwards.
struct temp_file {
    explicit temp_file(const bytes& data) {
        char name[] = "/tmp/bytehunt-test-XXXXXX";
        const int descriptor = mkstemp(name);
        path = name;
        EXPECT_EQ(write(descriptor, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(descriptor);
        stream = std::fopen(name, "rb");
    }
    ~temp_file() {
        std::fclose(stream);
        unlink(path.c_str());
    }
    std::string path;
    std::FILE* stream;
};

// Collects offsets, and runs `on_first_batch` once, when the first arrives.
class watching_sink final : public bytehunt::offset_sink {
public:
    bool accept(const std::uint64_t* at, std::size_t count) override {
        if (found.empty() && on_first_batch) on_first_batch();
        found.insert(found.end(), at, at + count);
        return true;
    }
    offsets found;
    std::function<void()> on_first_batch;
};

TEST(FileScan, EveryWayAgreesWithTheReferenceAcrossStretches) {
    std::mt19937 rng(99);
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (const std::size_t stretch : {page, 3 * page + 5}) {
        // Two letters, with a run of 41 around every stretch boundary.
        bytes haystack(14 * stretch + 9);
        for (auto& b : haystack) b = rng() % 2 == 0 ? 0x41 : 0x42;
        for (std::size_t at = stretch; at < haystack.size(); at += stretch) {
            for (std::size_t k = at - 4; k < at + 5; ++k) haystack[k] = 0x41;
        }
        // And around the points where the file is split into 2, 3 or 7 parts.
        for (const std::size_t parts : {2, 3, 7}) {
            for (std::size_t k = 1; k < parts; ++k) {
                const std::size_t at = haystack.size() / parts * k;
                for (std::size_t j = at - 5; j < at + 6; ++j) haystack[j] = 0x41;
            }
        }
        const bytes boundary(haystack.begin() + static_cast<std::ptrdiff_t>(2 * stretch - 3),
                             haystack.begin() + static_cast<std::ptrdiff_t>(2 * stretch + 13));
        const bytes needles[] = {{0x41, 0x41}, {0x42, 0x41, 0x41, 0x41, 0x41, 0x41}, boundary, {0x43, 0x41}};
        temp_file file(haystack);
        for (const unsigned ways : {way_bit(read_way::copy), way_bit(read_way::map),
                                    way_bit(read_way::populated_map), bytehunt::all_read_ways}) {
            if (sizeof(void*) < 8 && ways != way_bit(read_way::copy)) continue;  // 32-bit builds only copy
            for (const bytes& needle : needles) {
                SCOPED_TRACE(testing::Message()
                             << "ways " << ways << " stretch " << stretch << " needle of " << needle.size());
                bytehunt::searcher finder(needle.data(), needle.size());
                test_support::vector_sink sink;
                std::fseek(file.stream, 0, SEEK_SET);
                const bytehunt::file_scan_result result =
                    bytehunt::scan_regular_file(file.stream, finder, sink, {ways, stretch, stretch / 2 + 7});
                // The last bytes are left to read(), from where the stretches ended.
                ASSERT_EQ(result.outcome, bytehunt::scan_outcome::complete);
                EXPECT_GT(result.next_offset + needle.size(), haystack.size());
                // Every way allowed was used; the map was not quietly left out.
                for (std::size_t way = 0; way < bytehunt::read_way_count; ++way) {
                    EXPECT_EQ(result.brought[way] > 0, (ways >> way & 1) != 0) << "way " << way;
                }
                for (const unsigned parts : {1, 2, 3, 7}) {
                    // A sink that takes the lines alone gets the offsets of a
                    // batch kept only in part, and reads them off the lines.
                    for (const bool lines_only : {false, true}) {
                        std::fseek(file.stream, 0, SEEK_SET);
                        test_support::vector_sink whole;
                        whole.lines_only = lines_only;
                        ASSERT_EQ(bytehunt::scan_input(file.stream, finder, whole,
                                                       {ways, stretch, stretch / 2 + 7}, parts),
                                  bytehunt::scan_outcome::complete);
                        EXPECT_EQ(whole.offsets_, test_support::reference_offsets(haystack, needle))
                            << parts << " parts, lines only " << lines_only;
                    }
                }
            }
        }
    }
}

// A map is placed in a larger room; all of the room goes back when the map
// does, though the file ends mid-page. Left behind, each room's rest would
// keep address space, and a long scan of chunks runs out of it. A range is
// mapped once, however many stretches it takes.
TEST(FileScan, MapsGiveBackTheirWholeRoom) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "32-bit builds only copy";
    temp_file file(bytes(3 * 4096 + 5, 0x41));
    const bytes file_needle{0x41, 0x41};
    const auto scan = [&] {
        bytehunt::searcher finder(file_needle.data(), file_needle.size());
        test_support::vector_sink sink;
        std::fseek(file.stream, 0, SEEK_SET);
        bytehunt::scan_regular_file(file.stream, finder, sink, {way_bit(read_way::map), 4096});
    };
    // The bytes of address space held by maps of the file, and by rooms
    // (anonymous, inaccessible) that were not given back. Only these: a
    // sanitizer's allocator maps memory of its own at any time.
    const auto mapped = [&] {
        std::ifstream maps("/proc/self/maps");
        std::uint64_t total = 0;
        for (std::string line; std::getline(maps, line);) {
            std::istringstream fields(line);
            std::uint64_t first = 0;
            std::uint64_t last = 0;
            char dash = 0;
            std::string perms, offset, device, inode, path;
            fields >> std::hex >> first >> dash >> last >> perms >> offset >> device >> inode >> path;
            if (path == file.path || (perms == "---p" && inode == "0" && path.empty())) total += last - first;
        }
        return total;
    };
    scan();
    const std::uint64_t before = mapped();
    for (int i = 0; i < 4; ++i) scan();
    EXPECT_LE(mapped(), before);
}

// Pages are released only within the map: a page of the test's own right
// after the map, or (a range only copied has no map) at one of the range's
// offsets counted from address 0, keeps its byte.
TEST(FileScan, ReleasesNothingButTheMap) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "32-bit builds only copy";
    const auto plant = [](std::uintptr_t at) -> volatile char* {  // null where the page is taken
        void* const page = mmap(reinterpret_cast<void*>(at), 1, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (page != MAP_FAILED && page != reinterpret_cast<void*>(at)) munmap(page, 1);
        return page == reinterpret_cast<void*>(at) ? &(*static_cast<volatile char*>(page) = 1) : nullptr;
    };
    bytes data((5 << 20) + 5, 0x00);
    data[0] = data[1] = 0x41;
    temp_file file(data);
    const bytes needle{0x41, 0x41};
    for (const unsigned ways : {way_bit(read_way::map), way_bit(read_way::copy)}) {
        bytehunt::searcher finder(needle.data(), needle.size());
        volatile char* planted = ways == way_bit(read_way::copy) ? plant(std::uintptr_t{3} << 20) : nullptr;
        watching_sink sink;
        sink.on_first_batch = [&] {  // the map's end, from the process's own list of maps
            std::ifstream maps("/proc/self/maps");
            std::uintptr_t first = 0, end = 0;
            char dash = 0;
            for (std::string line; std::getline(maps, line);)
                if (line.find(file.path) != std::string::npos)
                    std::istringstream(line) >> std::hex >> first >> dash >> end;
            if (planted == nullptr && end != 0) planted = plant(end);
        };
        std::fseek(file.stream, 0, SEEK_SET);
        bytehunt::scan_regular_file(file.stream, finder, sink, {ways});
        if (planted == nullptr) continue;
        EXPECT_EQ(*planted, 1) << "ways " << ways;
        munmap(const_cast<char*>(planted), 1);
    }
}

// A long run across the first split point: the next part's own search is out
// of step with the one from the start for the whole run, and meets it only
// at an occurrence after the run, or never.
TEST(FileScan, PartsOutOfStepWithTheSearchBeforeThem) {
    // The first 256 KiB are searched alone, the rest in chunks from there.
    const std::size_t split = 256 * 1024;
    bytes runs(1200000, 0x00);
    std::fill_n(runs.begin() + static_cast<std::ptrdiff_t>(split - 999), 150000, 0x41);
    runs[split + 160000] = runs[split + 160001] = runs[split + 160002] = 0x41;
    bytes short_run(1200000, 0x00);  // both searches meet soon after the split
    std::fill_n(short_run.begin() + static_cast<std::ptrdiff_t>(split - 1), 4, 0x41);
    short_run[split + 100] = short_run[split + 101] = 0x41;
    bytes all_41(1200000, 0x41);  // dense: every chunk fills its queue
    // Dense over the first 256 KiB, then a run across many small chunks: a
    // chunk searched again to its end, whose last occurrence found again runs
    // past it; the next chunk is decided from there.
    bytes past_the_end(1 << 20, 0x01);
    for (std::size_t at = 0; at + 4 <= split; at += 88) std::fill_n(past_the_end.begin() + at, 4, 0x41);
    std::fill(past_the_end.begin() + split - 1, past_the_end.begin() + 530000, 0x41);
    // Out of step from 256 KiB to the end: the search again stops at the last
    // start with room for the needle, not at the file's end.
    bytes to_the_end(25 * 20480 + 5, 0x41);
    to_the_end[1] = 0x42;
    for (const bytes* haystack : {&runs, &short_run, &all_41, &past_the_end, &to_the_end}) {
        temp_file file(*haystack);
        for (const unsigned parts : {2, 3, 7}) {
            // Eight 41s over all_41: a chunk out of step from its start is in
            // step again only at its end, where the search before it ran further.
            for (const bytes& needle :
                 {bytes{0x41}, bytes{0x41, 0x41}, bytes{0x41, 0x41, 0x41}, bytes(4, 0x41), bytes(8, 0x41)}) {
                bytehunt::searcher finder(needle.data(), needle.size());
                test_support::vector_sink sink;
                ASSERT_EQ(
                    bytehunt::scan_input(file.stream, finder, sink, {bytehunt::all_read_ways, 4096}, parts),
                    bytehunt::scan_outcome::complete);
                EXPECT_EQ(sink.offsets_, test_support::reference_offsets(*haystack, needle))
                    << parts << " parts";
                std::fseek(file.stream, 0, SEEK_SET);
            }
        }
    }
}

// A fault lands in the scan of the thread that touched the map, though
// another thread began a scan of its own map since: here the second thread's
// scan waits inside its sink while the first one's file is cut under it.
TEST(FileScan, AFaultLandsInTheScanOfItsOwnThread) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "32-bit builds only copy";
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const bytes needle = {0x00, 0x00};
    temp_file cut_file(bytes(64 * page, 0x00));
    temp_file other_file(bytes(64 * page, 0x00));
    std::promise<void> other_waits;
    std::promise<void> cut_done;
    std::thread other;
    const auto scan = [&](temp_file& file, watching_sink& sink) {
        bytehunt::searcher finder(needle.data(), needle.size());
        return bytehunt::scan_regular_file(file.stream, finder, sink, {way_bit(read_way::map), 16 * page});
    };
    watching_sink other_sink;
    other_sink.on_first_batch = [&] {
        other_waits.set_value();
        cut_done.get_future().wait_for(std::chrono::seconds(10));
    };
    watching_sink cut_sink;
    cut_sink.on_first_batch = [&] {
        other = std::thread([&] { scan(other_file, other_sink); });
        other_waits.get_future().wait();
        ASSERT_EQ(truncate(cut_file.path.c_str(), static_cast<off_t>(24 * page)), 0);
    };
    const bytehunt::file_scan_result result = scan(cut_file, cut_sink);
    cut_done.set_value();
    other.join();
    EXPECT_EQ(result.outcome, bytehunt::scan_outcome::complete);
    EXPECT_LE(result.next_offset, 24 * page);
    EXPECT_EQ(other_sink.found.size(), 32 * page);
}

TEST(FileScan, AFileCutUnderTheMapShowsNothingPastItsNewEnd) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const bytes needle = {0x00, 0x00};
    const struct {
        std::size_t size;
        std::size_t cut;
    } cases[] = {
        {64 * page, 25 * page + 1},        // the map shows zeros for the rest of the page
        {64 * page, 24 * page},            // the map faults past the new end
        {16 * page + 100, 16 * page + 1},  // no fault at all: the old end was in the same page
    };
    for (const auto& c : cases) {
        for (const unsigned ways :
             {way_bit(read_way::copy), way_bit(read_way::map), way_bit(read_way::populated_map)}) {
            if (sizeof(void*) < 8 && ways != way_bit(read_way::copy)) continue;  // 32-bit builds only copy
            temp_file file(bytes(c.size, 0x00));
            bytehunt::searcher finder(needle.data(), needle.size());
            watching_sink sink;
            sink.on_first_batch = [&] {
                ASSERT_EQ(truncate(file.path.c_str(), static_cast<off_t>(c.cut)), 0);
            };
            ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink, {ways, 16 * page}),
                      bytehunt::scan_outcome::complete);
            offsets expected;
            for (std::uint64_t at = 0; at + 2 <= c.cut; at += 2) expected.push_back(at);
            EXPECT_EQ(sink.found, expected) << "cut at " << c.cut << ", ways " << ways;
        }
    }
    // A stretch of the trial that finds the file already cut reads nothing.
    temp_file file(bytes(64 * page, 0x00));
    const bytes one = {0x00};
    bytehunt::searcher finder(one.data(), one.size());
    watching_sink sink;
    sink.on_first_batch = [&] { ASSERT_EQ(truncate(file.path.c_str(), static_cast<off_t>(32 * page)), 0); };
    const unsigned copy_or_map = way_bit(read_way::copy) | way_bit(read_way::map);
    ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink, {copy_or_map, 16 * page}),
              bytehunt::scan_outcome::complete);
    EXPECT_EQ(sink.found.size(), 32 * page);
}

// Needle 00 00 once every 88 bytes over the first 256 KiB, which are searched
// alone first: chunks of about 1 MiB. Then every byte is 00: each chunk finds
// far more than it may hold, and its thread waits for the report to take it.
bytes sparse_then_dense(std::size_t size) {
    bytes data(size, 0x00);
    for (std::size_t at = 0; at < 256 * 1024; ++at) data[at] = at % 88 < 86 ? 0x01 : 0x00;
    return data;
}

TEST(FileScanInParts, AFailedWriteStopsEveryThread) {
    const bytes data = sparse_then_dense(6 << 20);
    const bytes needle = {0x00, 0x00};
    const offsets all = test_support::reference_offsets(data, needle);
    temp_file file(data);
    // Refused at the probe's last offsets, in the first chunk, in a later one.
    for (const std::size_t refused_after : {std::size_t{2978}, std::size_t{100000}, std::size_t{1500000}}) {
        for (const unsigned parts : {2, 3}) {
            bytehunt::searcher finder(needle.data(), needle.size());
            test_support::vector_sink sink(refused_after);
            std::fseek(file.stream, 0, SEEK_SET);
            EXPECT_EQ(bytehunt::scan_input(file.stream, finder, sink, {}, parts),
                      bytehunt::scan_outcome::write_failed);
            ASSERT_LE(sink.offsets_.size(), refused_after);
            EXPECT_TRUE(std::equal(sink.offsets_.begin(), sink.offsets_.end(), all.begin()));
        }
    }
}

// The file is cut while the first 256 KiB are searched, before the threads
// map their chunks: each thread faults in its own map, lands back in its own
// scan, and nothing past the new end is reported.
TEST(FileScanInParts, AFileCutUnderTheMapsOfSeveralThreads) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "32-bit builds only copy";
    bytes data = sparse_then_dense(8 << 20);
    for (std::size_t at = 256 * 1024; at < data.size(); ++at) data[at] = data[at - 256 * 1024];
    const bytes needle = {0x00, 0x00};
    const std::size_t cut = (3 << 20) + 5;
    const offsets expected = test_support::reference_offsets(bytes(data.begin(), data.begin() + cut), needle);
    for (const unsigned ways : {way_bit(read_way::map), way_bit(read_way::populated_map)}) {
        for (const unsigned parts : {2, 3, 7}) {
            temp_file file(data);
            bytehunt::searcher finder(needle.data(), needle.size());
            watching_sink sink;
            sink.on_first_batch = [&] { ASSERT_EQ(truncate(file.path.c_str(), static_cast<off_t>(cut)), 0); };
            ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink, {ways, 64 * 1024}, parts),
                      bytehunt::scan_outcome::complete);
            EXPECT_EQ(sink.found, expected) << "ways " << ways << ", " << parts << " parts";
        }
    }
}

#if defined(__linux__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
// A line of /proc/self/status, in KiB; -1 where it cannot be read.
long status_kib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Counts what it is handed.
struct counting_sink final : bytehunt::offset_sink {
    bool accept(const std::uint64_t* /*at*/, std::size_t count) override {
        found += count;
        return true;
    }
    std::size_t found = 0;
};

// The pages the threads' maps touched are released behind the search: the
// memory a search holds does not grow with the file (kept whole, 64 MiB).
// Sparse output makes chunks of many MiB, which release their own pages;
// an occurrence every 32 bytes, chunks under 1 MiB, whose pages the report
// releases behind it.
TEST(FileScanInParts, MappedPagesAreReleasedBehindTheSearch) {
    const bytes needle = {0x02, 0x03};
    for (const std::size_t every : {std::size_t{0}, std::size_t{32}}) {
        bytes data(std::size_t{64} << 20, 0x01);
        for (std::size_t at = 0; every > 0 && at < data.size(); at += every)
            data[at] = 0x02, data[at + 1] = 0x03;
        const temp_file file(data);
        data = bytes();
        const long before = status_kib("VmRSS");
        // Writing 5 resets the peak to what is resident now.
        if (before < 0 || !(std::ofstream("/proc/self/clear_refs") << "5" << std::flush))
            GTEST_SKIP() << "no peak memory to reset";
        for (const unsigned ways : {way_bit(read_way::map), way_bit(read_way::populated_map)}) {
            bytehunt::searcher finder(needle.data(), needle.size());
            counting_sink sink;
            std::fseek(file.stream, 0, SEEK_SET);
            ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink, {ways}, 2),
                      bytehunt::scan_outcome::complete);
            EXPECT_EQ(sink.found, every > 0 ? (std::size_t{64} << 20) / every : 0);
        }
        EXPECT_LT(status_kib("VmHWM") - before, 24 * 1024) << "an occurrence every " << every << " bytes";
    }
}
#endif

// Dense lines after a sparser start: every chunk fills to its limit, and the
// threads of the chunks behind the first wait on the limit of all of them;
// the first chunk's thread never does, or nothing could move.
TEST(FileScanInParts, DenseChunksWithinTheLimitOfAll) {
    bytes data(256 * 1024, 0x01);
    for (std::size_t at = 0; at + 1 < data.size(); at += 170) data[at] = data[at + 1] = 0x00;
    data.resize(data.size() + (8 << 20), 0x00);
    const bytes needle = {0x00, 0x00};
    temp_file file(data);
    bytehunt::searcher finder(needle.data(), needle.size());
    test_support::vector_sink sink;
    ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink, {}, 7), bytehunt::scan_outcome::complete);
    EXPECT_EQ(sink.offsets_, test_support::reference_offsets(data, needle));
}

// Runs of a byte that cross every chunk's start out of step with it: the
// report searches each chunk again until the two searches meet past the
// run, comparing more of the chunk's offsets than a batch keeps beside its
// lines; a run longer than a chunk never meets, and one thread goes on.
TEST(FileScanInParts, ChunksOutOfStepAreLinedUpFromTheirLines) {
    for (const std::size_t run : {301, 40000}) {
        bytes data(8 << 20, 0x00);
        for (std::size_t at = 12288 - 151; at + run < data.size(); at += 12288)
            std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(at), run, 0x41);
        const bytes needle{0x41, 0x41, 0x41};
        temp_file file(data);
        for (const bool lines_only : {false, true}) {
            bytehunt::searcher finder(needle.data(), needle.size());
            test_support::vector_sink sink;
            sink.lines_only = lines_only;
            ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink, {}, 3),
                      bytehunt::scan_outcome::complete);
            EXPECT_EQ(sink.offsets_, test_support::reference_offsets(data, needle))
                << "run " << run << ", lines only " << lines_only;
            std::fseek(file.stream, 0, SEEK_SET);
        }
    }
}

// A file too small for threads to pay on sparse output is searched on alone
// in steps that double (256 KiB, 512 KiB, 1 MiB, ...) until output turns
// dense, and shared out from there: runs that cross each step's end, then
// dense data in the third step; or no dense data, and the steps run to the
// file's last bytes.
TEST(FileScanInParts, SparseStartSearchedOnInStepsThenSharedOut) {
    bytes sparse(6 << 20, 0x01);
    for (const std::size_t step_end : {256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20})
        std::fill_n(sparse.begin() + static_cast<std::ptrdiff_t>(step_end - 2), 5, 0x41);
    bytes turns_dense = sparse;
    std::fill(turns_dense.begin() + (1536 << 10), turns_dense.begin() + (3 << 20), 0x41);
    const bytes needle{0x41, 0x41, 0x41};
    for (const bytes* data : {&turns_dense, &sparse}) {
        temp_file file(*data);
        bytehunt::searcher finder(needle.data(), needle.size());
        test_support::vector_sink sink;
        ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink), bytehunt::scan_outcome::complete);
        EXPECT_EQ(sink.offsets_, test_support::reference_offsets(*data, needle));
    }
}

// Each thread searches with a searcher of its own: what one learns of its
// bytes (here, that no filter pays and Two-Way must take over) never reaches
// the searcher of the first 256 KiB, nor another thread's.
TEST(FileScanInParts, EachThreadLearnsOnItsOwn) {
    std::mt19937 rng(7);
    bytes data(256 * 1024);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (int run = 0; run < 20000; ++run) {  // 127 41s and a 42: every filter fails
        data.insert(data.end(), 127, 0x41);
        data.push_back(0x42);
    }
    const bytes needle(128, 0x41);
    temp_file file(data);
    bytehunt::searcher finder(needle.data(), needle.size());
    test_support::vector_sink sink;
    ASSERT_EQ(bytehunt::scan_input(file.stream, finder, sink, {}, 3), bytehunt::scan_outcome::complete);
    EXPECT_TRUE(sink.offsets_.empty());
    EXPECT_EQ(finder.stats().two_way_regions, 0u);
    EXPECT_EQ(finder.stats().tolerant_regions, 0u);
}

// A file just written is in the page cache; once its pages are dropped, it
// is told to come from the disk (and is then asked for ahead of the search).
TEST(FileAccess, ToldUncachedOnceItsPagesAreDropped) {
    temp_file file(bytes(std::size_t{4} << 20, 0x41));
    const int descriptor = fileno(file.stream);
    EXPECT_FALSE(bytehunt::mostly_uncached(descriptor, 0, std::size_t{4} << 20));
    ASSERT_EQ(fsync(descriptor), 0);
    if (posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED) != 0) GTEST_SKIP() << "pages cannot be dropped";
    EXPECT_TRUE(bytehunt::mostly_uncached(descriptor, 4096, std::size_t{3} << 20));
}

// Output and input are one file only when both device and number agree: two
// file systems (two tmpfs mounts, say) may give the same number to two files.
TEST(Input, SameFileOnlyOnTheSameDevice) {
    using bytehunt::file_identity;
    EXPECT_TRUE(bytehunt::same_file(file_identity{3, 2}, file_identity{3, 2}));
    EXPECT_FALSE(bytehunt::same_file(file_identity{3, 2}, file_identity{4, 2}));
    EXPECT_FALSE(bytehunt::same_file(file_identity{3, 2}, file_identity{3, 5}));
}

}  // namespace
