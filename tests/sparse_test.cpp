// Sparse files: holes are passed over unread, a needle of zeros is counted in
// them, and every occurrence that runs into or out of a hole is found, on
// the stretch path and on the chunk path alike.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <numeric>
#include <string>

#include "memory_source.hpp"
#include "scan.hpp"

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr std::size_t unit = 64 * 1024;  // a hole or a run of data: several file system blocks

// A file laid out unit by unit: 'D' data of `fill`, '.' a hole. `head` is
// written at the start of every run of data, `tail` so that it ends the run.
struct sparse_row {
    const char* layout;
    std::uint8_t fill;
    bytes needle;
    bytes head;
    bytes tail;
};

struct sparse_file {
    explicit sparse_file(const sparse_row& row) {
        const std::string layout = row.layout;
        content.assign(layout.size() * unit, 0);
        char name[] = "/tmp/bytehunt-sparse-XXXXXX";
        descriptor = mkstemp(name);
        path = name;
        EXPECT_EQ(ftruncate(descriptor, static_cast<off_t>(content.size())), 0);
        for (std::size_t at = 0; at < layout.size(); ++at) {
            if (layout[at] != 'D') continue;
            const std::size_t run_end =
                layout.find('.', at) == std::string::npos ? layout.size() : layout.find('.', at);
            std::fill(content.begin() + at * unit, content.begin() + run_end * unit, row.fill);
            std::copy(row.head.begin(), row.head.end(), content.begin() + at * unit);
            std::copy(row.tail.rbegin(), row.tail.rend(),
                      content.rbegin() + (layout.size() - run_end) * unit);
            const std::size_t length = (run_end - at) * unit;
            EXPECT_EQ(pwrite(descriptor, content.data() + at * unit, length, static_cast<off_t>(at * unit)),
                      static_cast<ssize_t>(length));
            data_bytes += length;
            ++runs;
            at = run_end;
        }
        stream = std::fopen(name, "rb");
    }
    ~sparse_file() {
        std::fclose(stream);
        close(descriptor);
        unlink(path.c_str());
    }
    // Whether the file system keeps the holes (and says where they are).
    bool has_holes() const { return lseek(descriptor, 0, SEEK_HOLE) < static_cast<off_t>(content.size()); }

    std::string path;
    int descriptor;
    std::FILE* stream;
    bytes content;
    std::size_t data_bytes = 0;
    std::size_t runs = 0;
};

const bytes zeros8(8, 0);
const bytes none;

TEST(SparseFile, HolesPassedUnreadAndEveryEdgeFound) {
    const bytes one_then_zeros = {0x41, 0, 0, 0, 0, 0, 0, 0};
    const bytes zeros_then_one = {0, 0, 0, 0, 0, 0, 0, 0x41};
    const sparse_row rows[] = {
        // Occurrences that run into a hole, or out of one, and one byte off.
        {".DD..D.", 0x01, {0x41, 0x00}, none, {0x41}},
        {".DD..D.", 0x01, {0x41, 0x00}, none, {0x41, 0x01}},
        {"D..DD..", 0x01, {0x00, 0x00, 0x00, 0x41}, {0x41}, none},
        {"D..DD..", 0x01, {0x00, 0x00, 0x00, 0x41}, {0x00, 0x41}, none},
        {"D..DD..", 0x01, {0x00, 0x00, 0x00, 0x41}, {0x01, 0x41}, none},
        {"DD..D", 0x01, one_then_zeros, none, {0x41}},
        {"DD..D", 0x01, one_then_zeros, none, {0x41, 0x00}},
        {".D..DD", 0x01, zeros_then_one, {0x41}, none},
        {"..D", 0x01, {0x00, 0x41, 0x00}, {0x41, 0x00}, {0x00}},
        // Zeros only: counted in holes in step with the written zeros around them.
        {"D..D.D", 0x00, {0x00}, none, none},
        {"D..D.D", 0x00, {0x00, 0x00, 0x00}, none, none},
        {".D...D.", 0x01, {0x00, 0x00, 0x00}, none, {0x00}},
        {".D...D.", 0x01, bytes(128, 0x00), {0x00}, none},
        // Dense data first: small chunks, and holes dealt out as chunks of their own.
        {"DDDD..DD....D...", 0x41, {0x41}, none, none},
        {"DDDD..DD....D...", 0x41, {0x41, 0x41, 0x41}, none, {0x42}},
    };
    for (const sparse_row& row : rows) {
        sparse_file file(row);
        if (!file.has_holes()) GTEST_SKIP() << "the file system keeps no holes";
        const std::size_t needle = row.needle.size();
        SCOPED_TRACE(testing::Message()
                     << row.layout << " needle of " << needle << " fill " << int{row.fill});
        const auto expected = test_support::reference_offsets(file.content, row.needle);
        bytehunt::searcher finder(row.needle.data(), needle);
        for (const unsigned ways : {bytehunt::way_bit(bytehunt::read_way::copy), bytehunt::all_read_ways}) {
            test_support::vector_sink sink;
            std::fseek(file.stream, 0, SEEK_SET);
            const auto result = bytehunt::scan_regular_file(file.stream, finder, sink, {ways, 4096, 3000});
            const std::uint64_t brought =
                std::accumulate(result.brought, result.brought + 3, std::uint64_t{0});
            // Each run of data, the needle's length less one on either side,
            // and as much again where stretches of 3000 starts and more meet.
            const std::size_t stretches = file.data_bytes / 3000 + 3 * file.runs;
            EXPECT_LE(brought, file.data_bytes + stretches * (needle - 1)) << "ways " << ways;
            for (const unsigned parts : {1, 2, 3}) {
                test_support::vector_sink whole;
                std::fseek(file.stream, 0, SEEK_SET);
                ASSERT_EQ(bytehunt::scan_input(file.stream, finder, whole, {ways, 4096, 3000}, parts),
                          bytehunt::scan_outcome::complete);
                EXPECT_EQ(whole.offsets_, expected) << parts << " parts, ways " << ways;
            }
        }
    }
}

}  // namespace
