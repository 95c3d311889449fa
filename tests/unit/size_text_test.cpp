// Size texts against printf's own "%.*f", the behaviour pages have always had,
// at every unit boundary and across a million random sizes.

#include "stamp/size_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace pagestamp {
namespace {

std::string printf_scaled(std::int32_t size, std::int32_t unit)
{
    const int precision = size % unit > 99 ? 1 : 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", precision, static_cast<double>(size) / unit);
    return text;
}

std::string printf_auto(std::int32_t size)
{
    char text[64];
    if (size < kilobyte) {
        std::snprintf(text, sizeof text, "%d bytes", size);
        return text;
    }
    const std::int32_t unit = size >= gigabyte ? gigabyte : size >= megabyte ? megabyte : kilobyte;
    return printf_scaled(size, unit) + (unit == gigabyte ? "G" : unit == megabyte ? "M" : "k");
}

void expect_matches_printf(std::int32_t size)
{
    EXPECT_EQ(auto_size_text(size).view(), printf_auto(size)) << size;
    for (const std::int32_t unit : {kilobyte, megabyte, gigabyte}) {
        EXPECT_EQ(scaled_size_text(size, unit).view(), printf_scaled(size, unit)) << size << " / " << unit;
    }
}

TEST(SizeText, WorkedExamples)
{
    const struct {
        std::int32_t size;
        const char* text;
    } rows[] = {
        {0, "0 bytes"},          {1, "1 bytes"},         {1023, "1023 bytes"},   {1024, "1k"},
        {1123, "1k"},            {1124, "1.1k"},         {1280, "1.2k"},         {2047, "2.0k"},
        {2048, "2k"},            {2200, "2.1k"},         {1048575, "1024.0k"},   {1048576, "1M"},
        {1048675, "1M"},         {1048676, "1.0M"},      {5242979, "5M"},        {1073741824, "1G"},
        {2147483647, "2.0G"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(auto_size_text(row.size).view(), row.text) << row.size;
    }
}

TEST(SizeText, FixedUnitsIgnoreMagnitude)
{
    EXPECT_EQ(scaled_size_text(50, kilobyte).view(), "0");
    EXPECT_EQ(scaled_size_text(100, kilobyte).view(), "0.1");
    EXPECT_EQ(scaled_size_text(100, megabyte).view(), "0.0");
    EXPECT_EQ(scaled_size_text(2147483647, kilobyte).view(), "2097152.0");
}

TEST(SizeText, MatchesPrintfAtEveryUnitBoundary)
{
    for (std::int64_t unit = 1; unit <= gigabyte * 2LL; unit *= 1024) {
        for (const std::int64_t multiple : {1LL, 2LL, 3LL, 1023LL}) {
            for (const std::int64_t offset : {0LL, 1LL, 99LL, 100LL, 512LL}) {
                for (const std::int64_t size : {unit * multiple + offset, unit * multiple - offset}) {
                    if (size >= 0 && size <= INT32_MAX) {
                        expect_matches_printf(static_cast<std::int32_t>(size));
                    }
                }
            }
        }
    }
}

TEST(SizeText, MatchesPrintfOnAMillionRandomSizes)
{
    std::mt19937 random(20030402);
    std::uniform_int_distribution<std::int32_t> any_size(0, INT32_MAX);
    std::uniform_int_distribution<int> magnitude(0, 31);
    for (int i = 0; i < 1000000; ++i) {
        // Half of them small, so every unit gets its share.
        const std::int32_t size = i % 2 == 0 ? any_size(random) : any_size(random) >> magnitude(random);
        const std::string expected = printf_auto(size);
        ASSERT_EQ(auto_size_text(size).view(), expected) << size;
    }
}

} // namespace
} // namespace pagestamp
