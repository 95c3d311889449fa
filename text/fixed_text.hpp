#pragma once
// The one text type that owns bytes. Its capacity is part of the type, and an
// append takes a piece whole or not at all, so no caller can overrun it.

#include <cstddef>
#include <cstring>
#include <string_view>

namespace pagestamp {

// Chooses the constructor for a text with static storage: all zero, so it lies
// in untouched memory and costs nothing until it is used.
struct all_zero_t {};
inline constexpr all_zero_t all_zero{};

template <std::size_t Capacity>
struct fixed_text {
    static constexpr std::size_t capacity = Capacity;

    // Left uninitialised beyond the terminator: zeroing 4 KiB per run would be
    // the largest single cost of the program.
    char bytes[Capacity + 1];
    std::size_t length = 0;

    fixed_text() { bytes[0] = '\0'; }
    constexpr explicit fixed_text(all_zero_t) : bytes{} {}

    [[nodiscard]] std::size_t size() const { return length; }
    [[nodiscard]] bool empty() const { return length == 0; }
    [[nodiscard]] std::size_t room() const { return Capacity - length; }
    [[nodiscard]] std::string_view view() const { return {bytes, length}; }
    [[nodiscard]] const char* c_str() const { return bytes; }

    // Returns false, and changes nothing, when the piece does not fit.
    bool append(std::string_view piece)
    {
        if (piece.size() > room()) {
            return false;
        }
        if (!piece.empty()) {
            std::memcpy(bytes + length, piece.data(), piece.size());
            length += piece.size();
        }
        bytes[length] = '\0';
        return true;
    }

    bool append(char c) { return append(std::string_view(&c, 1)); }

    void clear()
    {
        length = 0;
        bytes[0] = '\0';
    }

    // For a read() straight into the buffer: it fills at most room() bytes
    // from tail(), and grow() then takes the count it reported.
    [[nodiscard]] char* tail() { return bytes + length; }
    void grow(std::size_t count)
    {
        length += count < room() ? count : room();
        bytes[length] = '\0';
    }

    // Forgets the first `count` bytes, keeping the rest in order. Moved in
    // steps of `count`, none overlapping its destination, so memcpy will do:
    // memmove would be one more import for every CGI start to resolve.
    void drop_front(std::size_t count)
    {
        const std::size_t dropped = count < length ? count : length;
        for (std::size_t moved = 0; dropped != 0 && moved < length - dropped; moved += dropped) {
            const std::size_t left = length - dropped - moved;
            std::memcpy(bytes + moved, bytes + dropped + moved, left < dropped ? left : dropped);
        }
        length -= dropped;
        bytes[length] = '\0';
    }
};

// string_view::substr throws when pos is past the end, and would pull the C++
// runtime into the program for a case that cannot happen; these clamp instead.
constexpr std::string_view text_before(std::string_view text, std::size_t end)
{
    return {text.data(), end < text.size() ? end : text.size()};
}

// Equal texts, compared a byte at a time: string_view's == calls memcmp, one
// more import for every CGI start to resolve, for texts of a few bytes.
constexpr bool same_text(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

constexpr std::string_view text_from(std::string_view text, std::size_t start)
{
    return start < text.size() ? std::string_view(text.data() + start, text.size() - start)
                               : std::string_view();
}

} // namespace pagestamp
