#include "report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(FormatOffsetLine, DecimalThenLowerCaseHex) {
    const std::pair<std::uint64_t, std::string> cases[] = {
        {0, "0 (0x0)\n"},
        {2, "2 (0x2)\n"},
        {26, "26 (0x1a)\n"},
        {255, "255 (0xff)\n"},
        {4294967295u, "4294967295 (0xffffffff)\n"},
        {4294967296u, "4294967296 (0x100000000)\n"},
        {5368709120u, "5368709120 (0x140000000)\n"},
        {UINT64_MAX, "18446744073709551615 (0xffffffffffffffff)\n"},
    };
    for (const auto& [offset, line] : cases) {
        char out[bytehunt::max_offset_line];
        EXPECT_EQ(std::string(out, bytehunt::format_offset_line(offset, out)), line);
    }
}

TEST(FormatOffsetLine, AgreesWithPrintfAcrossEveryMagnitude) {
    // Every digit count in both bases, and the edges where the formatter
    // switches from one group of eight digits to two, or to its fallback.
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t power = 1; power != 0 && power <= UINT64_MAX / 10; power *= 10) {
        offsets.insert(offsets.end(), {power - 1, power, power + 1, power * 10 - 1});
    }
    for (int bits = 1; bits < 64; ++bits) {
        const std::uint64_t power = std::uint64_t{1} << bits;
        offsets.insert(offsets.end(), {power - 1, power, power + 1});
    }
    std::mt19937_64 rng(99);
    for (int i = 0; i < 100000; ++i) offsets.push_back(rng() >> (rng() % 64));
    for (std::uint64_t offset : offsets) {
        char line[bytehunt::max_offset_line];
        char expected[64];
        const int length =
            std::snprintf(expected, sizeof expected, "%llu (0x%llx)\n",
                          static_cast<unsigned long long>(offset), static_cast<unsigned long long>(offset));
        ASSERT_EQ(std::string(line, bytehunt::format_offset_line(offset, line)),
                  std::string(expected, static_cast<std::size_t>(length)));
    }
}

// The line of `offset` as std::to_chars writes its numbers.
std::string to_chars_line(std::uint64_t offset) {
    char decimal[24] = {};
    char hex[24] = {};
    char* decimal_end = std::to_chars(decimal, decimal + sizeof decimal, offset).ptr;
    char* hex_end = std::to_chars(hex, hex + sizeof hex, offset, 16).ptr;
    return std::string(decimal, decimal_end) + " (0x" + std::string(hex, hex_end) + ")\n";
}

TEST(LineFormatter, RunsOfRisingOffsetsAcrossEveryLengthBoundary) {
    // Runs that cross each boundary where the decimal or hex text grows a
    // digit, or where the digits before the last four change, in steps
    // small and large; then one formatter on all the runs in turn, so that
    // offsets also fall from one run to the next.
    // 10^14 and 2^48 also part lines of up to 32 bytes from longer ones.
    const std::uint64_t boundaries[] = {10,
                                        10000,
                                        65536,
                                        100000000,
                                        4294967296u,
                                        100000000000000u,
                                        0x1000000000000u,
                                        1000000000000000u,
                                        10000000000000000u,
                                        100000000000000000u,
                                        10000000000000000000u,
                                        0x100000000000000u,
                                        0xfffffffffffffff0u};
    const std::uint64_t steps[] = {1, 2, 3, 97, 9999, 10000, 10001, 65535, 65536, 1000003};
    std::vector<std::uint64_t> offsets = {0,         9,           10,          99999999,
                                          100000000, 4294967295u, 4294967296u, UINT64_MAX};
    for (const std::uint64_t boundary : boundaries) {
        for (const std::uint64_t step : steps) {
            const std::uint64_t back = step * 40 < boundary ? step * 40 : boundary;
            for (std::uint64_t offset = boundary - back; offset - (boundary - back) <= 2 * back;
                 offset += step) {
                offsets.push_back(offset);
                if (UINT64_MAX - offset < step) break;
            }
        }
    }
    std::string expected;
    for (const std::uint64_t offset : offsets) expected += to_chars_line(offset);
    // All at once, and in batches of 1 to 7 lines from one formatter.
    std::vector<char> out(offsets.size() * bytehunt::max_offset_line);
    bytehunt::line_formatter all;
    char* end = all.put_lines(offsets.data(), offsets.size(), out.data());
    EXPECT_EQ(std::string(out.data(), end), expected);
    bytehunt::line_formatter batched;
    std::string lines;
    for (std::size_t done = 0, size = 0; done < offsets.size(); done += size) {
        size = std::min(done % 7 + 1, offsets.size() - done);
        lines.append(out.data(), batched.put_lines(offsets.data() + done, size, out.data()));
    }
    EXPECT_EQ(lines, expected);
}

// A report written to a temporary file, read back as text.
class ReportWriter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(file_, nullptr); }
    void TearDown() override {
        if (file_ != nullptr) std::fclose(file_);
    }

    std::string written() {
        std::string text;
        std::rewind(file_);
        for (int ch; (ch = std::fgetc(file_)) != EOF;) text += static_cast<char>(ch);
        return text;
    }

    std::FILE* file_ = std::tmpfile();
    bytehunt::report_writer report_{file_};
};

TEST_F(ReportWriter, HeaderOnceAndOnlyBeforeTheFirstLine) {
    const std::uint64_t first[] = {0, 2};
    const std::uint64_t second[] = {6};
    EXPECT_TRUE(report_.accept(first, 0));
    EXPECT_TRUE(report_.flush());
    EXPECT_EQ(written(), "");  // no offset, no header
    EXPECT_TRUE(report_.accept(first, 2));
    EXPECT_TRUE(report_.accept(second, 1));
    EXPECT_TRUE(report_.flush());
    EXPECT_EQ(written(), "Found at offset\n0 (0x0)\n2 (0x2)\n6 (0x6)\n");
}

TEST_F(ReportWriter, NothingFoundWritesNothing) {
    EXPECT_TRUE(report_.flush());
    EXPECT_EQ(written(), "");
}

TEST_F(ReportWriter, ManyLinesCrossTheBufferIntact) {
    // Short lines and the longest, handed over one at a time or already
    // formatted in runs, cross the buffer's edge at every position.
    std::string expected = "Found at offset\n";
    std::vector<std::uint64_t> run;
    std::string lines;
    for (std::uint64_t i = 0; i < 60000; ++i) {
        const std::uint64_t offset = i % 3 == 0 ? UINT64_MAX - i : i * 7;
        char line[64];
        std::snprintf(line, sizeof line, "%llu (0x%llx)\n", static_cast<unsigned long long>(offset),
                      static_cast<unsigned long long>(offset));
        expected += line;
        if (i % 1000 < 500) {
            ASSERT_TRUE(report_.accept(&offset, 1));
            continue;
        }
        run.push_back(offset);
        char text[bytehunt::max_offset_line];
        lines.append(text, bytehunt::format_offset_line(offset, text));
        if (run.size() == 100 || i % 1000 == 999) {
            ASSERT_TRUE(report_.accept_lines(run.data(), run.size(), lines.data(), lines.size()));
            run.clear();
            lines.clear();
        }
    }
    EXPECT_TRUE(report_.flush());
    EXPECT_EQ(written(), expected);
}

// Offsets, lines formatted elsewhere that join the buffer, and lines too many
// for it that go out as they are: a failed write keeps its errno, so that a
// reader gone (EPIPE) is told from a full disk.
TEST(ReportWriterErrors, FailedWriteIsReportedWithItsErrno) {
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    const std::vector<std::uint64_t> offsets(9000, 1);  // 72000 bytes of lines
    const std::string lines(offsets.size() * 8, '1');
    for (const std::size_t count : {std::size_t{0}, std::size_t{1}, offsets.size()}) {
        bytehunt::report_writer report(full);
        const bool accepted = count == 0
                                  ? report.accept(offsets.data(), 1)
                                  : report.accept_lines(offsets.data(), count, lines.data(), count * 8);
        EXPECT_FALSE(accepted && report.flush()) << count;
        EXPECT_EQ(report.error_code(), ENOSPC) << count;
        EXPECT_FALSE(report.accept(offsets.data(), 1));
        std::clearerr(full);
    }
    std::fclose(full);
}

}  // namespace
