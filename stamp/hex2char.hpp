#pragma once

namespace pagestamp {

// The byte that two hexadecimal digits stand for. Lower-case letters decode
// too, but the template scan only ever hands it upper-case ones.
constexpr char hex2char(char high, char low)
{
    const auto digit = [](char c) {
        const auto code = static_cast<signed char>(c);
        return code > 0x40 ? (code & ~0x20) - 55 : code - 48;
    };
    return static_cast<char>(static_cast<unsigned char>(digit(high) * 16 + digit(low)));
}

} // namespace pagestamp
