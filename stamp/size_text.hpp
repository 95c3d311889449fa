#pragma once
// File sizes as text: "%d bytes", or k/M/G with the one-decimal rule.

#include "text/fixed_text.hpp"

#include <cstdint>

namespace pagestamp {

// "2097151.9k" is the longest scaled text; "1023 bytes" the longest plain one.
using size_text = fixed_text<29>;

inline constexpr std::int32_t kilobyte = 1024;
inline constexpr std::int32_t megabyte = 1024 * 1024;
inline constexpr std::int32_t gigabyte = 1024 * 1024 * 1024;

// size / unit with one decimal when the remainder is over 99 bytes, else none.
// The threshold is 99 bytes for every unit, so megabytes and gigabytes nearly
// always show a decimal: pages have always looked like that.
size_text scaled_size_text(std::int32_t size, std::int32_t unit);

// The size with the unit its magnitude calls for.
size_text auto_size_text(std::int32_t size);

} // namespace pagestamp
