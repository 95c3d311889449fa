#include "fastcgi/fastcgi_protocol.hpp"

namespace pagestamp::fastcgi {

bool read_header(std::string_view bytes, record_header& header)
{
    if (bytes.size() < header_size) {
        return false;
    }
    header.version = static_cast<unsigned char>(byte_at(bytes, 0));
    header.type = static_cast<unsigned char>(byte_at(bytes, 1));
    header.request_id = static_cast<std::uint16_t>(byte_at(bytes, 2) << 8U | byte_at(bytes, 3));
    header.content_length = static_cast<std::uint16_t>(byte_at(bytes, 4) << 8U | byte_at(bytes, 5));
    header.padding_length = static_cast<unsigned char>(byte_at(bytes, 6));
    return true;
}

std::size_t write_header(char (&out)[header_size], unsigned char type, std::uint16_t request_id,
                         std::size_t content_length)
{
    const std::size_t padding = (8 - content_length % 8) % 8;
    const unsigned char bytes[header_size] = {
        version_1,
        type,
        static_cast<unsigned char>(request_id >> 8U),
        static_cast<unsigned char>(request_id & 0xffU),
        static_cast<unsigned char>(content_length >> 8U & 0xffU),
        static_cast<unsigned char>(content_length & 0xffU),
        static_cast<unsigned char>(padding),
        0,
    };
    for (std::size_t i = 0; i < header_size; ++i) {
        out[i] = static_cast<char>(bytes[i]);
    }
    return padding;
}

bool read_length(std::string_view bytes, std::size_t& at, std::size_t& length)
{
    if (at >= bytes.size()) {
        return false;
    }
    const unsigned first = byte_at(bytes, at);
    if ((first & 0x80U) == 0) {
        length = first;
        at += 1;
        return true;
    }
    if (bytes.size() - at < 4) {
        return false;
    }
    length = (std::size_t{first & 0x7fU} << 24U) | (std::size_t{byte_at(bytes, at + 1)} << 16U) |
             (std::size_t{byte_at(bytes, at + 2)} << 8U) | std::size_t{byte_at(bytes, at + 3)};
    at += 4;
    return true;
}

bool next_pair(std::string_view bytes, std::size_t& at, name_value& pair, bool& malformed)
{
    malformed = false;
    if (at >= bytes.size()) {
        return false;
    }
    std::size_t name_length = 0;
    std::size_t value_length = 0;
    std::size_t cursor = at;
    // Both lengths are checked against what is left before a byte is taken:
    // a length of 2^31 - 1 in a short stream must not reach past its end.
    if (!read_length(bytes, cursor, name_length) || !read_length(bytes, cursor, value_length) ||
        name_length > bytes.size() - cursor || value_length > bytes.size() - cursor - name_length) {
        malformed = true;
        return false;
    }
    // Views of the stream itself: an empty value still points somewhere, so
    // it stays apart from an absent one.
    pair.name = std::string_view(bytes.data() + cursor, name_length);
    pair.value = std::string_view(bytes.data() + cursor + name_length, value_length);
    at = cursor + name_length + value_length;
    return true;
}

} // namespace pagestamp::fastcgi
