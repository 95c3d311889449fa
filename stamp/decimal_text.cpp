#include "stamp/decimal_text.hpp"

namespace pagestamp {

number_text decimal_text(std::int64_t value, int min_digits)
{
    // Work on the magnitude as unsigned so that the most negative value has one.
    const bool negative = value < 0;
    std::uint64_t magnitude = negative ? 0U - static_cast<std::uint64_t>(value)
                                       : static_cast<std::uint64_t>(value);
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10U);
        magnitude /= 10U;
    } while (magnitude != 0U);
    while (count < min_digits && count < static_cast<int>(sizeof digits)) {
        digits[count++] = '0';
    }

    number_text text;
    if (negative) {
        text.append('-');
    }
    while (count > 0) {
        text.append(digits[--count]);
    }
    return text;
}

} // namespace pagestamp
