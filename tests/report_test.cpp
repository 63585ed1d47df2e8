#include "report.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

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

TEST(OffsetLineWriter, EverySeriesGivesTheSameLinesAsFormatting) {
    // Gaps from 0 to 2^63, so that carries run through every digit and both
    // numbers grow by a digit; now and then a step back.
    std::mt19937_64 rng(99);
    bytehunt::offset_line_writer writer;
    std::uint64_t offset = 0;
    for (int i = 0; i < 200000; ++i) {
        const int magnitude = static_cast<int>(rng() % 64);
        const std::uint64_t gap = rng() >> (63 - (magnitude < 62 ? magnitude / 4 : magnitude));
        offset = i % 5000 == 4999 ? offset / 3 : offset + gap;
        if (offset > UINT64_MAX / 2 && magnitude > 60) offset = UINT64_MAX - rng() % 1000;
        char expected[bytehunt::max_offset_line];
        char actual[bytehunt::offset_line_writer::room];
        const std::size_t length = bytehunt::format_offset_line(offset, expected);
        ASSERT_EQ(writer.write(offset, actual), length) << offset;
        ASSERT_EQ(std::string(actual, length), std::string(expected, length)) << offset;
    }
}

// Reads back what the report wrote to a temporary stream.
std::string written(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int ch; (ch = std::fgetc(file)) != EOF;) text += static_cast<char>(ch);
    return text;
}

TEST(ReportWriter, HeaderOnceAndOnlyBeforeTheFirstLine) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    bytehunt::report_writer report(file);
    const std::uint64_t first[] = {0, 2};
    const std::uint64_t second[] = {6};
    EXPECT_TRUE(report.accept(first, 0));
    EXPECT_TRUE(report.accept(first, 2));
    EXPECT_TRUE(report.accept(second, 1));
    EXPECT_TRUE(report.flush());
    EXPECT_EQ(written(file), "Found at offset\n0 (0x0)\n2 (0x2)\n6 (0x6)\n");
    std::fclose(file);
}

TEST(ReportWriter, NothingFoundWritesNothing) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    bytehunt::report_writer report(file);
    EXPECT_TRUE(report.flush());
    EXPECT_EQ(written(file), "");
    std::fclose(file);
}

TEST(ReportWriter, ManyLinesCrossTheBufferIntact) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    bytehunt::report_writer report(file);
    std::string expected = "Found at offset\n";
    for (std::uint64_t offset = 0; offset < 200000; offset += 7) {
        ASSERT_TRUE(report.accept(&offset, 1));
        expected += std::to_string(offset) + " (0x";
        char hex[20];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(offset));
        expected += std::string(hex) + ")\n";
    }
    EXPECT_TRUE(report.flush());
    EXPECT_EQ(written(file), expected);
    std::fclose(file);
}

TEST(ReportWriter, FailedWriteIsReportedWithItsErrno) {
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    bytehunt::report_writer report(full);
    const std::uint64_t offset = 1;
    report.accept(&offset, 1);
    EXPECT_FALSE(report.flush());
    EXPECT_EQ(report.error_code(), ENOSPC);
    EXPECT_FALSE(report.accept(&offset, 1));
    std::fclose(full);
}

}  // namespace
