// Name-value lengths and pairs, on a table of encodings. Each input lies in a
// heap block of exactly its size, so a read past it is a sanitizer error.

#include "fastcgi/fastcgi_protocol.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace pagestamp::fastcgi {
namespace {

struct exact_bytes {
    explicit exact_bytes(const std::string& text) : block(new char[text.size()]), size(text.size())
    {
        std::memcpy(block.get(), text.data(), size);
    }
    [[nodiscard]] std::string_view view() const { return {block.get(), size}; }
    std::unique_ptr<char[]> block;
    std::size_t size;
};

TEST(FastcgiProtocolTest, LengthEncodings)
{
    const struct {
        std::string bytes;
        std::size_t start;
        bool whole;
        std::size_t length;
        std::size_t next;
    } rows[] = {
        {std::string(1, '\0'), 0, true, 0, 1},
        {"\x7f", 0, true, 127, 1},
        {std::string("\x80\x00\x00\x80", 4), 0, true, 128, 4},
        {"\x81\x02\x03\x04", 0, true, 0x01020304, 4},
        {"\xff\xff\xff\xff", 0, true, 0x7fffffff, 4},
        {std::string("x\x80\x00\x01\x00", 5), 1, true, 256, 5},
        {std::string("\x80\x00\x00", 3), 0, false, 0, 0},
        {"\x7f", 1, false, 0, 1},
        {"", 0, false, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.bytes));
        const exact_bytes input(row.bytes);
        std::size_t at = row.start;
        std::size_t length = 0;
        ASSERT_EQ(read_length(input.view(), at, length), row.whole);
        if (row.whole) {
            EXPECT_EQ(length, row.length);
            EXPECT_EQ(at, row.next);
        } else {
            EXPECT_EQ(at, row.start);
        }
    }
}

TEST(FastcgiProtocolTest, PairsNeverReachPastTheirStream)
{
    const struct {
        std::string bytes;
        bool found;
        bool malformed;
        std::string name;
        std::string value;
    } rows[] = {
        {"\x02\x03" "abxyz", true, false, "ab", "xyz"},
        {std::string("\x01\x80\x00\x00\x80" "n", 6) + std::string(128, 'v'), true, false, "n", std::string(128, 'v')},
        {"", false, false, "", ""},
        {"\x03\x05" "abcde", false, true, "", ""},
        {"\xff\xff\xff\xff\x01" "ab", false, true, "", ""},
        {"\x01\xff\xff\xff\xff" "a", false, true, "", ""},
        {std::string("\x01\x80\x00", 3), false, true, "", ""},
        {"\x05", false, true, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.bytes));
        const exact_bytes input(row.bytes);
        std::size_t at = 0;
        name_value pair;
        bool malformed = false;
        ASSERT_EQ(next_pair(input.view(), at, pair, malformed), row.found);
        EXPECT_EQ(malformed, row.malformed);
        if (row.found) {
            EXPECT_EQ(pair.name, row.name);
            EXPECT_EQ(pair.value, row.value);
            EXPECT_EQ(at, row.bytes.size());
        } else {
            EXPECT_EQ(at, 0U);
        }
    }
}

TEST(FastcgiProtocolTest, AnEmptyValueIsNotAnAbsentOne)
{
    const exact_bytes input(std::string("\x01\x00" "a", 3));
    std::size_t at = 0;
    name_value pair;
    bool malformed = false;
    ASSERT_TRUE(next_pair(input.view(), at, pair, malformed));
    EXPECT_TRUE(pair.value.empty());
    EXPECT_NE(pair.value.data(), nullptr);
}

} // namespace
} // namespace pagestamp::fastcgi
