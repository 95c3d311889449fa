#pragma once
// The FastCGI wire format: record headers and the name-value lengths of the
// params stream. Every length in a record comes from the peer and is checked
// here, against the bytes actually present, before anything is read.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pagestamp::fastcgi {

inline constexpr unsigned char version_1 = 1;

// Record types.
inline constexpr unsigned char begin_request = 1;
inline constexpr unsigned char abort_request = 2;
inline constexpr unsigned char end_request = 3;
inline constexpr unsigned char params = 4;
inline constexpr unsigned char stdin_stream = 5;
inline constexpr unsigned char stdout_stream = 6;
inline constexpr unsigned char data = 8;
inline constexpr unsigned char get_values = 9;
inline constexpr unsigned char get_values_result = 10;
inline constexpr unsigned char unknown_type = 11;

// Roles, the begin-request flag, and end-request protocol statuses.
inline constexpr unsigned responder = 1;
inline constexpr unsigned char keep_conn = 1;
inline constexpr unsigned char request_complete = 0;
inline constexpr unsigned char cant_mpx_conn = 1;
inline constexpr unsigned char unknown_role = 3;

inline constexpr std::size_t header_size = 8;
inline constexpr std::size_t max_content = 0xffff;
inline constexpr std::size_t max_padding = 0xff;
// The longest record a peer can send: nothing larger ever needs buffering.
inline constexpr std::size_t max_record = header_size + max_content + max_padding;

// A byte of a record as the number it is on the wire, whatever char's sign.
inline unsigned byte_at(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

struct record_header {
    unsigned char version = 0;
    unsigned char type = 0;
    std::uint16_t request_id = 0;
    std::uint16_t content_length = 0;
    unsigned char padding_length = 0;

    [[nodiscard]] std::size_t record_size() const
    {
        return header_size + content_length + padding_length;
    }
};

// The header at the start of `bytes`; false when fewer than 8 bytes are there.
bool read_header(std::string_view bytes, record_header& header);

// Writes a header for a record of `content_length` bytes padded to a multiple
// of 8, as the protocol recommends; returns the padding it announced.
std::size_t write_header(char (&out)[header_size], unsigned char type, std::uint16_t request_id,
                         std::size_t content_length);

// A name or value length: one byte below 128, else four bytes, big-endian,
// with the top bit cleared. Advances `at` past it; false when the bytes run
// out first.
bool read_length(std::string_view bytes, std::size_t& at, std::size_t& length);

// One name-value pair of a params stream, starting at `at`. False at the end
// of the bytes, or when a length runs past them: `malformed` tells which.
struct name_value {
    std::string_view name;
    std::string_view value;
};
bool next_pair(std::string_view bytes, std::size_t& at, name_value& pair, bool& malformed);

} // namespace pagestamp::fastcgi
