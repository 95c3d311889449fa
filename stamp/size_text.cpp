#include "stamp/size_text.hpp"

#include "stamp/decimal_text.hpp"

namespace pagestamp {

size_text scaled_size_text(std::int32_t size, std::int32_t unit)
{
    // A file's size is never negative, but a negative one still prints as
    // printf would: C's remainder is then negative, so no decimal, and a sign.
    const bool negative = size < 0;
    const bool one_decimal = size % unit > 99;
    const std::uint64_t scale = one_decimal ? 10U : 1U;
    const auto divisor = static_cast<std::uint64_t>(unit);
    const std::uint64_t magnitude =
        negative ? 0U - static_cast<std::uint64_t>(static_cast<std::int64_t>(size))
                 : static_cast<std::uint64_t>(size);
    const std::uint64_t scaled = magnitude * scale;

    // The exact quotient rounded to nearest, a tie to the even digit: what
    // printf's "%.*f" gives for a value that is exact in binary.
    std::uint64_t rounded = scaled / divisor;
    const std::uint64_t twice_remainder = 2U * (scaled % divisor);
    if (twice_remainder > divisor || (twice_remainder == divisor && rounded % 2U == 1U)) {
        ++rounded;
    }

    size_text text;
    if (negative) {
        text.append('-');
    }
    text.append(decimal_text(static_cast<std::int64_t>(rounded / scale)).view());
    if (one_decimal) {
        text.append('.');
        text.append(static_cast<char>('0' + rounded % scale));
    }
    return text;
}

size_text auto_size_text(std::int32_t size)
{
    size_text text;
    if (size < kilobyte) {
        text.append(decimal_text(size).view());
        text.append(" bytes");
        return text;
    }
    const bool giga = size >= gigabyte;
    const bool mega = !giga && size >= megabyte;
    const std::int32_t unit = giga ? gigabyte : mega ? megabyte : kilobyte;
    text = scaled_size_text(size, unit);
    text.append(giga ? 'G' : mega ? 'M' : 'k');
    return text;
}

} // namespace pagestamp
