#pragma once
// The one text type that owns bytes. Its capacity is part of the type, and an
// append takes a piece whole or not at all, so no caller can overrun it.

#include <cstddef>
#include <cstring>
#include <string_view>

namespace pagestamp {

template <std::size_t Capacity>
struct fixed_text {
    static constexpr std::size_t capacity = Capacity;

    // Left uninitialised beyond the terminator: zeroing 4 KiB per run would be
    // the largest single cost of the program.
    char bytes[Capacity + 1];
    std::size_t length = 0;

    fixed_text() { bytes[0] = '\0'; }

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
};

// string_view::substr throws when pos is past the end, and would pull the C++
// runtime into the program for a case that cannot happen; these clamp instead.
constexpr std::string_view text_before(std::string_view text, std::size_t end)
{
    return {text.data(), end < text.size() ? end : text.size()};
}

constexpr std::string_view text_from(std::string_view text, std::size_t start)
{
    return start < text.size() ? std::string_view(text.data() + start, text.size() - start)
                               : std::string_view();
}

} // namespace pagestamp
